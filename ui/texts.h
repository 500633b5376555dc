// Every text the user sees, and the captions of the message boxes, written once. Sources are
// UTF-8; the Windows program gets them in CP1251 (-fexec-charset).
#pragma once

#include "vorna_version.h"

// Tray tooltip and statistics window
const char kTextDisconnected[] = "Отключен";
const char kTextConnecting[] = "Идет подключение";
const char kTextDisconnecting[] = "Идет отключение";
const char kTextConnected[] = "Подключен";
const char kTextPasswordAccepted[] = "Проверка пароля прошла успешно, идет подключение";
const char kTextCannotConnect[] = "Невозможно соединиться с сервером";
const char kTextLimitNear[] = "Скоро лимит";
const char kTextPaidBlocked[] = "Платные сети блокированы";
// The account tooltip: status, balance and session cost (at most 11 characters each figure).
#define VORNA_ACCOUNT_TIP_FORMAT "%s\nБаланс: %.11s\nЗа сессию: %.11s"

// Titles put before the server's reason ("title:\nreason").
const char kTextLogonImpossible[] = "Подключение невозможно";
const char kTextLogonRefused[] = "Авторизации не выполнена";

// Reasons of network errors (debug output)
const char kReasonUnknownReply[] = "Неизвестный ответ сервера";
const char kReasonAccessDenied[] = "Доступ запрещен";

// Message boxes
const char kCaptionError[] = "VornaAgent - ошибка";
const char kCaptionWarning[] = "VornaAgent - предупреждение";
const char kCaptionAbout[] = "О программе";
const char kTextAlreadyRunning[] = "Приложение уже запущено";
const char kTextSocketsFailed[] = "Ошибка при инициализации WinSock 2.0";
const char kTextSocketsVersion[] = "Неверная версия WinSock, необходимо использовать версию 2.0";
const char kTextKeyFailed[] = "Невозможно инициализировать ключ шифрования";
const char kTextKeySizeFailed[] = "Ошибка при получении размера ключа для шифрования данных";
const char kTextNoMemory[] = "Невозможно выделить память для внутренних переменных";
const char kTextLogonWindowFailed[] = "Ошибка при создании окна диалога с пользователем";
const char kTextStatsWindowFailed[] = "Ошибка при создании окна пользовательской статистики";

const char kTextAbout[] = "VornaAgent " VORNA_VERSION_SHOWN "\n\n"
                          "Агент авторизует пользователя на сервере доступа и подключает "
                          "рабочую станцию к сети Интернет.\n\n"
                          "https://vorna.example/agent\n"
                          "© 2026 Vorna Networks. Все права защищены.";

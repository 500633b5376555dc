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

// What a resume or a network change is called after "Событие: " in the debug output.
const char kWorldResume[] = "выход из спящего режима";
const char kWorldAddressChange[] = "изменился список сетевых адресов";
const char kWorldClockJump[] = "скачок системных часов";

// Notifications (balloons): titles, and the text when the server gave no reason.
const char kNotifyReconnected[] = "Подключение восстановлено";
const char kNotifyLimit[] = "Скоро лимит";
const char kNotifyBlocked[] = "Платные сети блокированы";
const char kNotifyEnded[] = "Сессия завершена сервером";
const char kNotifyImpossible[] = "Подключение невозможно";
const char kNotifyRefused[] = "Авторизации не выполнена";
const char kNotifyLost[] = "Соединение потеряно";
const char kNotifyNoReason[] = "Сервер не сообщил причину";

// Settings and the machine's policy (debug output, and the Linux command's answer).
const char kTextSettingsNotSaved[] = "Не удалось сохранить настройки";
const char kTextRememberForbidden[] =
    "Сохранение имени и пароля запрещено политикой администратора";

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

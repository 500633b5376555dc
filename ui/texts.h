// Every text the user sees, and the captions of the message boxes, written once. Sources are
// UTF-8; the Windows program gets them in CP1251 (-fexec-charset).
#pragma once

#include "core/account_view.h"
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

// Why a request failed, by FailCause: the stable code (the Linux command's JSON) and what the
// user reads: the cause, then what to check. Refusals carry the server's own words instead.
inline const char* const kCauseCodes[] = {
    "",
    "no_network",
    "no_route",
    "port_closed",
    "connect_timeout",
    "reply_timeout",
    "closed_without_reply",
    "reset",
    "not_access_server",
    "refused",
};
inline const char* const kCauseTexts[] = {
    "",
    "Нет сети: у компьютера нет сетевого адреса. Проверьте кабель, Wi-Fi и сетевой адаптер.",
    "Нет маршрута до сервера. Проверьте адрес сервера (в программе, в --address, в политике), "
    "VPN и маршрут.",
    "Порт сервера закрыт: соединение отвергнуто. Проверьте, что служба сервера запущена и порт "
    "указан верно.",
    "Сервер не ответил на соединение. Проверьте межсетевой экран между компьютером и сервером.",
    "Сервер не ответил на запрос. Сервер перегружен или завис: сообщите администратору.",
    "Сервер закрыл соединение без ответа. Чаще всего ключ программы не совпадает с ключом "
    "сервера: сравните отпечаток ключа в журнале с выводом vorna_config show.",
    "Соединение сброшено. Проверьте сервер и фильтры на пути к нему.",
    "По этому адресу отвечает не сервер доступа. Веб-сервер, прокси или страница входа сети "
    "отвечают на этом адресе и порту: проверьте адрес и порт.",
    "Отказ сервера",
};
static_assert(sizeof kCauseCodes / sizeof kCauseCodes[0] == kCauseCount, "a code per cause");
static_assert(sizeof kCauseTexts / sizeof kCauseTexts[0] == kCauseCount, "a text per cause");
// The debug line after the network error's: the code, then the text.
#define VORNA_CAUSE_LINE_FORMAT "Причина сбоя (%s): %s"

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

"""The agent's own window captions, control and command ids, and the texts it shows."""
import os
import re

LOGON_CAPTION = "Подключение к Интернет"
STATS_CAPTION = "Текущее состояние пользователя"
WARNING_CAPTION = "VornaAgent - предупреждение"
ERROR_CAPTION = "VornaAgent - ошибка"
ABOUT_CAPTION = "О программе"

# Logon window
IDC_LOGIN = 105
IDC_PASSWORD = 106
IDC_REMEMBER = 107
IDC_CONNECT = 108
IDC_HIDE = 109
# Statistics window
IDC_STATS_ICON = 201
IDC_STATS_OK = 203
IDC_STATS_TEXT = 904
# Tray menu
IDM_CONNECT = 4011
IDM_DISCONNECT = 4012
IDM_INFO = 4013
IDM_AUTORUN = 4014
IDM_EXIT = 4015
IDM_ABOUT = 4017

TRAY_CALLBACK = 1025
WM_QUERYENDSESSION = 0x0011
WM_TIMER = 0x0113
WM_MOUSEMOVE = 0x0200
WM_LBUTTONDOWN = 0x0201
WM_LBUTTONDBLCLK = 0x0203
WM_RBUTTONDOWN = 0x0204
WM_RBUTTONDBLCLK = 0x0206
VK_TAB = 0x09
VK_RETURN = 0x0D
VK_ESCAPE = 0x1B

DEBUG_HEADER = "*** Debug output:"
DEBUG_TRAY = "Трей: "
DEBUG_RECEIVED = "Полученные данные: "
DEBUG_NETWORK_ERROR = "Сетевая ошибка, причина: "
DEBUG_ATTEMPT = "Попытка соединения..."
DEBUG_EVENT = "Событие: "
DEBUG_NOTIFY = "Уведомление: "
ALREADY_RUNNING = "Приложение уже запущено"
BAD_KEY = "Невозможно инициализировать ключ шифрования"

WM_POWERBROADCAST = 0x0218
PBT_APMRESUMESUSPEND = 0x0007
PBT_APMRESUMEAUTOMATIC = 0x0012
MSG_ADDRESS_CHANGE = 0x0400 + 12
FD_ADDRESS_LIST_CHANGE = 1 << 9

TIMER_PING = 2
TIMER_RECONNECT = 5

# What the statistics window says under "Невозможно соединиться с сервером" for each cause of a
# failure: the words it begins with.
NO_SERVER = "Невозможно соединиться с сервером"
CAUSE_WORDS = {
    "no_network": "Нет сети",
    "no_route": "Нет маршрута до сервера",
    "port_closed": "Порт сервера закрыт",
    "connect_timeout": "Сервер не ответил на соединение",
    "reply_timeout": "Сервер не ответил на запрос",
    "closed_without_reply": "Сервер закрыл соединение без ответа",
    "reset": "Соединение сброшено",
    "not_access_server": "По этому адресу отвечает не сервер доступа",
}


def tells_cause(stats_text, cause):
    """Whether a statistics text is the network error's with the words of `cause` under it."""
    return stats_text.startswith(f"{NO_SERVER}\n{CAUSE_WORDS[cause]}")


SETTINGS_KEY = r"HKEY_CURRENT_USER\Software\Vorna\AuthUtility"
VENDOR_KEY = r"HKEY_CURRENT_USER\Software\Vorna"
RUN_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run"
RUN_VALUE = "VORNA Auth Utility"


def debug_codec():
    """The OEM code page the agent writes its debug output in: Russian Wine gives 866; the
    other locale the journeys also run under (VORNA_E2E_LOCALE) gives 437, where Cyrillic
    comes out as '?'. Window and box texts are read as Unicode and do not depend on it."""
    return "cp866" if os.environ.get("LC_ALL", "ru_RU").startswith("ru_") else "cp437"


def as_oem(text):
    """`text` as this run's OEM code page renders it (Cyrillic is '?' outside Russian)."""
    codec = debug_codec()
    return text.encode(codec, "replace").decode(codec)


def as_debug(text):
    """`text` as a debug line has it: control characters (a tooltip's line feeds, whatever a
    server sends) written as \\xNN, in the OEM code page."""
    return as_oem(re.sub(r"[\x00-\x1f\x7f]", lambda m: f"\\x{ord(m.group()):02x}", text))


def from_debug(text):
    """A debug line's text with its control characters back."""
    return re.sub(r"\\x([0-9a-f]{2})", lambda m: chr(int(m.group(1), 16)), text)

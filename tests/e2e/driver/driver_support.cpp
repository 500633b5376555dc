#include "driver_support.h"

#include <cstdio>
#include <cstring>

#include <shellapi.h>

std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

bool FromHex(const std::string& hex, std::string* bytes) {
    if (hex.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char* end = nullptr;
        long value = strtol(pair, &end, 16);
        if (*end != 0) return false;
        *bytes += static_cast<char>(value);
    }
    return true;
}

std::string Convert(const std::string& text, UINT fromCp, UINT toCp) {
    if (text.empty()) return text;
    int wide = MultiByteToWideChar(fromCp, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(fromCp, 0, text.data(), (int)text.size(), &w[0], wide);
    int narrow = WideCharToMultiByte(toCp, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
    std::string out(narrow, '\0');
    WideCharToMultiByte(toCp, 0, w.data(), wide, &out[0], narrow, nullptr, nullptr);
    return out;
}

std::string Cp1251FromWide(const std::wstring& w) {
    if (w.empty()) return std::string();
    int narrow =
        WideCharToMultiByte(1251, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string out(narrow, '\0');
    WideCharToMultiByte(1251, 0, w.data(), (int)w.size(), &out[0], narrow, nullptr, nullptr);
    return out;
}

std::wstring WideFromCp1251(const std::string& text) {
    if (text.empty()) return std::wstring();
    int wide = MultiByteToWideChar(1251, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring w(wide, L'\0');
    MultiByteToWideChar(1251, 0, text.data(), (int)text.size(), &w[0], wide);
    return w;
}

void PrintText(const char* key, const std::string& cp1251) {
    printf("%s_hex=%s\n", key, Hex(cp1251).c_str());
    std::string utf8 = Convert(cp1251, 1251, CP_UTF8);
    // One line per key: line breaks inside the text are shown escaped.
    std::string shown;
    for (char c : utf8) {
        if (c == '\n')
            shown += "\\n";
        else if (c == '\r')
            shown += "\\r";
        else
            shown += c;
    }
    printf("%s_utf8=%s\n", key, shown.c_str());
}

// ---- Arguments ----

bool ParseArgs(Args* args) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return false;
    args->command = Cp1251FromWide(argv[1]);
    for (int i = 2; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a.size() > 2 && a[0] == L'-' && a[1] == L'-') {
            std::string name = Cp1251FromWide(a.substr(2));
            if (i + 1 >= argc) return false;
            args->options[name] = argv[++i];
        } else {
            args->positional.push_back(a);
        }
    }
    LocalFree(argv);
    return true;
}

// ---- Finding windows ----

std::string ProcessExe(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return std::string();
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    if (!QueryFullProcessImageNameW(process, 0, path, &size)) path[0] = 0;
    CloseHandle(process);
    return Cp1251FromWide(path);
}

std::string WindowText(HWND w) {
    // WM_GETTEXT is marshalled across processes; GetWindowText would not read controls there.
    wchar_t buffer[4096] = {};
    DWORD_PTR got = 0;
    if (!SendMessageTimeoutW(w, WM_GETTEXT, 4096, (LPARAM)buffer, SMTO_ABORTIFHUNG, 2000, &got))
        return std::string();
    buffer[4095] = 0;
    return Cp1251FromWide(buffer);
}

std::string ClassOf(HWND w) {
    char buffer[256] = {};
    GetClassNameA(w, buffer, sizeof buffer);
    return buffer;
}

std::string CaptionOf(HWND w) {
    wchar_t buffer[1024] = {};
    GetWindowTextW(w, buffer, 1024);
    return Cp1251FromWide(buffer);
}

namespace {

bool Matches(HWND w, const Selector& s) {
    if (s.hwnd) return w == s.hwnd;
    if (s.visible >= 0 && (IsWindowVisible(w) ? 1 : 0) != s.visible) return false;
    if (!s.className.empty() && ClassOf(w) != s.className) return false;
    if (s.pid || !s.exe.empty()) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (s.pid && pid != s.pid) return false;
        if (!s.exe.empty() && lstrcmpiA(ProcessExe(pid).c_str(), s.exe.c_str()) != 0) return false;
    }
    if (s.byCaption && s.caption != CaptionOf(w)) return false;
    return true;
}

struct FindState {
    const Selector* selector;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTop(HWND w, LPARAM param) {
    FindState* state = reinterpret_cast<FindState*>(param);
    if (Matches(w, *state->selector)) state->found.push_back(w);
    return TRUE;
}

}  // namespace

std::vector<HWND> FindTop(const Selector& s) {
    if (s.hwnd) {
        if (IsWindow(s.hwnd)) return {s.hwnd};
        return {};
    }
    FindState state{&s, {}};
    EnumWindows(CollectTop, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

bool ParseSelector(const Args& args, Selector* s) {
    if (args.Text("caption", &s->caption)) s->byCaption = true;
    s->className = args.Narrow("class");
    s->pid = (DWORD)args.Number("pid", 0);
    args.Text("exe", &s->exe);
    s->hwnd = (HWND)(intptr_t)args.Number("hwnd", 0);
    return s->byCaption || !s->className.empty() || s->pid || !s->exe.empty() || s->hwnd;
}

void PrintWindow(const char* prefix, HWND w) {
    DWORD pid = 0;
    DWORD tid = GetWindowThreadProcessId(w, &pid);
    std::string caption = CaptionOf(w);
    HWND owner = GetWindow(w, GW_OWNER);
    printf("%shwnd=0x%lx\n", prefix, (unsigned long)(uintptr_t)w);
    printf("%spid=%lu\n", prefix, pid);
    printf("%stid=%lu\n", prefix, tid);
    printf("%sclass=%s\n", prefix, ClassOf(w).c_str());
    printf("%svisible=%d\n", prefix, IsWindowVisible(w) ? 1 : 0);
    printf("%senabled=%d\n", prefix, IsWindowEnabled(w) ? 1 : 0);
    printf("%sowner=0x%lx\n", prefix, (unsigned long)(uintptr_t)owner);
    std::string exeKey = std::string(prefix) + "exe";
    PrintText(exeKey.c_str(), ProcessExe(pid));
    std::string key = std::string(prefix) + "caption";
    PrintText(key.c_str(), caption);
}

// The one window the selector names, waiting up to the timeout for it to appear.
HWND FindOne(const Args& args, const Selector& s) {
    DWORD timeout = (DWORD)args.Number("timeout", 0);
    HWND result = nullptr;
    PollUntil(timeout, [&] {
        std::vector<HWND> found = FindTop(s);
        if (found.empty()) return false;
        result = found.front();
        return true;
    });
    if (!result) printf("found=0\n");
    return result;
}

HWND Control(HWND window, const Args& args) {
    if (!args.Has("id")) return window;
    HWND c = GetDlgItem(window, (int)args.Number("id", 0));
    if (!c) printf("control=0\n");
    return c;
}

LRESULT SendQuiet(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD timeoutMs, bool* answered) {
    DWORD_PTR result = 0;
    *answered = SendMessageTimeoutA(w, msg, wp, lp, SMTO_ABORTIFHUNG, timeoutMs, &result) != 0;
    return (LRESULT)result;
}

HWND FocusOf(HWND window) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

void PostKey(HWND target, UINT vk) {
    LPARAM scan = (LPARAM)MapVirtualKeyA(vk, 0) << 16;
    PostMessageA(target, WM_KEYDOWN, vk, scan | 1);
    PostMessageA(target, WM_KEYUP, vk, scan | 1 | (1u << 30) | (1u << 31));
}

namespace {

std::string HookDllPath() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = strrchr(path, '\\');
    if (slash) slash[1] = 0;
    return std::string(path) + "vorna_driver_hook.dll";
}

}  // namespace

// Runs `q` inside the process of `window`: a message hook on its thread answers a registered
// message sent to it, through shared memory (inproc_query.h).
bool AskInside(HWND window, Query* q) {
    char name[64];
    snprintf(name, sizeof name, "%s.%lu", kQueryMapping, GetCurrentProcessId());
    HANDLE map =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Query), name);
    if (!map) return false;
    Query* shared = (Query*)MapViewOfFile(map, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    HMODULE dll = LoadLibraryA(HookDllPath().c_str());
    FARPROC found = dll ? GetProcAddress(dll, kQueryHookExport) : nullptr;
    HOOKPROC proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(found));
    HHOOK hook = nullptr;
    if (shared && proc) {
        *shared = *q;
        shared->done = 0;
        hook =
            SetWindowsHookExA(WH_CALLWNDPROC, proc, dll, GetWindowThreadProcessId(window, nullptr));
    }
    bool ok = false;
    if (hook) {
        bool answered = false;
        SendQuiet(window, RegisterWindowMessageA(kQueryMessage), GetCurrentProcessId(), 0, 3000,
                  &answered);
        UnhookWindowsHookEx(hook);
        ok = answered && shared->done == 1;
        if (ok) *q = *shared;
    } else {
        printf("hook_error=%lu\n", GetLastError());
    }
    if (shared) UnmapViewOfFile(shared);
    CloseHandle(map);
    if (dll) FreeLibrary(dll);
    return ok;
}

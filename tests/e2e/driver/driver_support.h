// Helpers of vorna_driver: texts as CP1251 bytes, its arguments, finding another program's
// windows, and asking inside another process (inproc_query.h).
#pragma once

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#endif
#include <windows.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "inproc_query.h"

const DWORD kDefaultTimeoutMs = 5000;
const DWORD kPollMs = 20;

// ---- Text ----
// Windows are read and written through the wide calls, so what the driver sees does not
// depend on the system's ANSI code page; texts are converted to CP1251 only for the output.

std::string Hex(const std::string& bytes);
// False when `hex` is not an even run of hex digits.
bool FromHex(const std::string& hex, std::string* bytes);
std::string Convert(const std::string& text, UINT fromCp, UINT toCp);
std::string Cp1251FromWide(const std::wstring& w);
std::wstring WideFromCp1251(const std::string& text);
// Prints KEY_hex (the bytes) and KEY_utf8 (for people, line breaks escaped).
void PrintText(const char* key, const std::string& cp1251);

// ---- Arguments: COMMAND, then --name value pairs ----

struct Args {
    std::string command;
    std::map<std::string, std::wstring> options;
    std::vector<std::wstring> positional;

    bool Has(const std::string& name) const { return options.count(name) != 0; }
    std::string Narrow(const std::string& name) const {
        auto it = options.find(name);
        return it == options.end() ? std::string() : Cp1251FromWide(it->second);
    }
    long Number(const std::string& name, long fallback) const {
        if (!Has(name)) return fallback;
        std::string s = Narrow(name);
        return strtol(s.c_str(), nullptr, 0);
    }
    // A text option given either as hex of CP1251 bytes (NAME-hex) or as plain text (NAME).
    bool Text(const std::string& name, std::string* out) const {
        if (Has(name + "-hex")) return FromHex(Narrow(name + "-hex"), out);
        if (Has(name)) {
            *out = Narrow(name);
            return true;
        }
        return false;
    }
};
// ---- Finding windows ----

struct Selector {
    bool byCaption = false;
    std::string caption;
    std::string className;
    DWORD pid = 0;
    std::string exe;  // full path of the process's executable, any case
    HWND hwnd = nullptr;
    int visible = -1;  // -1 either, 0 hidden, 1 shown
};

// Polls `ready` until it holds or `timeoutMs` pass.
template <typename F> bool PollUntil(DWORD timeoutMs, F ready) {
    DWORD start = GetTickCount();
    for (;;) {
        if (ready()) return true;
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPollMs);
    }
}

bool ParseArgs(Args* args);
// Reads --caption[-hex], --class, --pid, --exe[-hex], --hwnd; false when none is given.
bool ParseSelector(const Args& args, Selector* s);
std::vector<HWND> FindTop(const Selector& s);
// The one window the selector names, waiting up to --timeout for it; prints found=0 if none.
HWND FindOne(const Args& args, const Selector& s);
// The control --id of `window` (the window itself without --id); prints control=0 if none.
HWND Control(HWND window, const Args& args);
std::string ProcessExe(DWORD pid);
// A window's or control's text, read with WM_GETTEXT (marshalled across processes).
std::string WindowText(HWND w);
std::string ClassOf(HWND w);
// A top-level window's caption (GetWindowText), as CP1251.
std::string CaptionOf(HWND w);
// Prints hwnd, pid, tid, class, visible, enabled, owner, exe and caption, each after `prefix`.
void PrintWindow(const char* prefix, HWND w);

// ---- Messages ----

// SendMessageTimeout; *answered says whether the target answered within the time.
LRESULT SendQuiet(HWND w, UINT msg, WPARAM wp, LPARAM lp, DWORD timeoutMs, bool* answered);
// The keyboard focus of the window's thread.
HWND FocusOf(HWND window);
// A key press as the keyboard delivers it: down and up, with the scan code in lParam.
void PostKey(HWND target, UINT vk);
// Runs `q` inside the process of `window` through the hook DLL; false when it did not answer.
bool AskInside(HWND window, Query* q);

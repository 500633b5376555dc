// Hook DLL of vorna_driver: loaded into the process the driver looks at, it answers the
// driver's registered message by reading a menu or an icon there (see inproc_query.h).
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "inproc_query.h"

namespace {

void ReadMenu(Query* q) {
    HMENU menu = reinterpret_cast<HMENU>(static_cast<uintptr_t>(q->handle));
    int count = GetMenuItemCount(menu);
    if (count < 0) return;
    q->count = count > kQueryMaxItems ? kQueryMaxItems : count;
    for (int i = 0; i < q->count; ++i) {
        QueryMenuItem& item = q->items[i];
        memset(&item, 0, sizeof item);
        // Read as UTF-16 and handed over as CP1251, whatever the process's ANSI code page.
        wchar_t text[kQueryTextSize] = {};
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = kQueryTextSize - 1;
        if (GetMenuItemInfoW(menu, i, TRUE, &info)) {
            item.id = info.wID;
            item.type = info.fType;
            item.state = info.fState;
        }
        WideCharToMultiByte(1251, 0, text, -1, item.text, sizeof item.text - 1, nullptr, nullptr);
        item.text[sizeof item.text - 1] = 0;
    }
    q->done = 1;
}

// The system icons are shared within a process, so the one a box shows is the one this
// process gets from LoadIcon.
void ReadIconKind(Query* q) {
    HWND control = reinterpret_cast<HWND>(static_cast<uintptr_t>(q->handle));
    HICON shown = reinterpret_cast<HICON>(SendMessageA(control, STM_GETICON, 0, 0));
    const struct {
        LPCSTR id;
        const char* name;
    } kKinds[] = {{IDI_HAND, "error"},
                  {IDI_EXCLAMATION, "warning"},
                  {IDI_ASTERISK, "information"},
                  {IDI_QUESTION, "question"}};
    const char* kind = shown ? "other" : "none";
    for (const auto& k : kKinds)
        if (shown && shown == LoadIconA(nullptr, k.id)) kind = k.name;
    snprintf(q->answer, sizeof q->answer, "%s", kind);
    q->done = 1;
}

void Answer(DWORD driverPid) {
    char name[64];
    snprintf(name, sizeof name, "%s.%lu", kQueryMapping, driverPid);
    HANDLE map = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
    if (!map) return;
    Query* q = static_cast<Query*>(MapViewOfFile(map, FILE_MAP_WRITE, 0, 0, 0));
    if (q) {
        if (q->kind == kQueryMenu) ReadMenu(q);
        if (q->kind == kQueryIconKind) ReadIconKind(q);
        UnmapViewOfFile(q);
    }
    CloseHandle(map);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK VornaQueryHook(int code, WPARAM wp, LPARAM lp) {
    static UINT message = RegisterWindowMessageA(kQueryMessage);
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lp);
    if (code == HC_ACTION && call->message == message) Answer(static_cast<DWORD>(call->wParam));
    return CallNextHookEx(nullptr, code, wp, lp);
}

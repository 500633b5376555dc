// What vorna_driver asks its hook DLL to read inside another process, and how the two meet.
// Menus and icons are private to their process under Wine, so they are read there: the driver
// fills a request in shared memory, hooks the target thread and sends it a registered message;
// the hook answers in the same memory before the send returns.
#pragma once

#include <cstdint>

// Mapping name, followed by "." and the driver's process id.
const char kQueryMapping[] = "VornaDriverQuery";
// Registered message sent to a window of the target thread; wParam is the driver's process id.
const char kQueryMessage[] = "VornaDriverQuery";
// The hook procedure's exported name: stdcall names are decorated in 32-bit builds only.
#ifdef _WIN64
const char kQueryHookExport[] = "VornaQueryHook";
#else
const char kQueryHookExport[] = "VornaQueryHook@12";
#endif

enum QueryKind : int32_t {
    kQueryMenu = 1,      // handle: a menu; answer: its items
    kQueryIconKind = 2,  // handle: an icon control; answer: which system icon it shows
};

const int kQueryMaxItems = 32;
const int kQueryTextSize = 128;

struct QueryMenuItem {
    uint32_t id;
    uint32_t type;
    uint32_t state;
    char text[kQueryTextSize];
};

struct Query {
    int32_t kind;
    uint32_t handle;
    int32_t done;  // set by the hook
    int32_t count;
    char answer[kQueryTextSize];
    QueryMenuItem items[kQueryMaxItems];
};

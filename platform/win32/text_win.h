// The agent's texts are CP1251 bytes whatever code page the system uses for ANSI calls, so
// everything shown or read through Windows goes through the wide calls, converted here.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

const UINT kAgentCodePage = 1251;

// UTF-16 of `length` bytes of agent text (NULs included as they are).
std::wstring WideFromAgent(const char* text, size_t length);
// UTF-16 of NUL-terminated agent text; nullptr reads as "".
std::wstring WideFromAgent(const char* text);
// Agent text of `length` UTF-16 units; what CP1251 lacks becomes '?'.
std::string AgentFromWide(const wchar_t* text, size_t length);
// The same into `buffer`, cut to size - 1 bytes and NUL-terminated.
void AgentFromWide(const wchar_t* text, size_t length, char* buffer, size_t size);
// The running program's full path as Windows has it; false if it cannot be had.
bool ProgramPathWide(std::wstring* path);
// The same in the agent's code page, cut to size - 1 bytes and NUL-terminated (argument 0).
void PlatProgramPath(char* buffer, size_t size);

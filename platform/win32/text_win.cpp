#include "platform/win32/text_win.h"

#include <climits>
#include <cstring>

std::wstring WideFromAgent(const char* text, size_t length) {
    if (!text || length == 0 || length > INT_MAX) return std::wstring();
    int n = static_cast<int>(length);
    // CP1251 is single-byte: one UTF-16 unit per byte.
    std::wstring wide(length, L'\0');
    int got = MultiByteToWideChar(kAgentCodePage, 0, text, n, &wide[0], n);
    wide.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return wide;
}

std::wstring WideFromAgent(const char* text) {
    return text ? WideFromAgent(text, strlen(text)) : std::wstring();
}

std::string AgentFromWide(const wchar_t* text, size_t length) {
    if (!text || length == 0 || length > INT_MAX) return std::string();
    int n = static_cast<int>(length);
    // At most one byte per unit (a surrogate pair becomes a single '?').
    std::string agent(length, '\0');
    int got = WideCharToMultiByte(kAgentCodePage, 0, text, n, &agent[0], n, nullptr, nullptr);
    agent.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return agent;
}

void AgentFromWide(const wchar_t* text, size_t length, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    std::string agent = AgentFromWide(text, length);
    size_t n = agent.size() < size - 1 ? agent.size() : size - 1;
    memcpy(buffer, agent.data(), n);
    buffer[n] = '\0';
}

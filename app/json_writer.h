// A small JSON writer for the agent's answers: one object of named strings, booleans and nulls,
// written into a bounded buffer. Strings are the agent's own text: bytes from 0x80 pass through
// (the answer is converted to UTF-8 as a whole), control characters, quotes and backslashes are
// escaped as RFC 8259 asks.
#pragma once

#include <cstddef>

struct JsonWriter {
    char* out;
    size_t size;
    size_t used;
    bool first;     // no member written yet
    bool overflow;  // something did not fit: the text is cut, and not valid JSON
};

void JsonBegin(JsonWriter* json, char* out, size_t size);
void JsonString(JsonWriter* json, const char* name, const char* value);
void JsonBool(JsonWriter* json, const char* name, bool value);
// `value` or, when it is nullptr, null.
void JsonStringOrNull(JsonWriter* json, const char* name, const char* value);
// Closes the object; false when it did not fit (the buffer then holds "{}").
bool JsonEnd(JsonWriter* json);

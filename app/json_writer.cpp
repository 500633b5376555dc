#include "app/json_writer.h"

#include <cstdio>
#include <cstring>

namespace {

void Put(JsonWriter* json, const char* piece, size_t length) {
    if (json->overflow || json->used + length + 1 > json->size) {
        json->overflow = true;
        return;
    }
    memcpy(json->out + json->used, piece, length);
    json->used += length;
    json->out[json->used] = '\0';
}

void Put(JsonWriter* json, const char* piece) { Put(json, piece, strlen(piece)); }

void PutQuoted(JsonWriter* json, const char* text) {
    Put(json, "\"");
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; p++) {
        char piece[8];
        switch (*p) {
            case '"': Put(json, "\\\""); break;
            case '\\': Put(json, "\\\\"); break;
            case '\n': Put(json, "\\n"); break;
            case '\r': Put(json, "\\r"); break;
            case '\t': Put(json, "\\t"); break;
            default:
                if (*p < 0x20) {
                    snprintf(piece, sizeof piece, "\\u%04x", *p);
                    Put(json, piece);
                } else {
                    Put(json, reinterpret_cast<const char*>(p), 1);
                }
        }
    }
    Put(json, "\"");
}

void PutName(JsonWriter* json, const char* name) {
    if (!json->first) Put(json, ", ");
    json->first = false;
    PutQuoted(json, name);
    Put(json, ": ");
}

}  // namespace

void JsonBegin(JsonWriter* json, char* out, size_t size) {
    *json = {out, size, 0, true, size < 3};
    if (size > 0) out[0] = '\0';
    Put(json, "{");
}

void JsonString(JsonWriter* json, const char* name, const char* value) {
    PutName(json, name);
    PutQuoted(json, value != nullptr ? value : "");
}

void JsonStringOrNull(JsonWriter* json, const char* name, const char* value) {
    if (value != nullptr) return JsonString(json, name, value);
    PutName(json, name);
    Put(json, "null");
}

void JsonBool(JsonWriter* json, const char* name, bool value) {
    PutName(json, name);
    Put(json, value ? "true" : "false");
}

bool JsonEnd(JsonWriter* json) {
    Put(json, "}");
    if (!json->overflow) return true;
    if (json->size >= 3) memcpy(json->out, "{}", 3);
    return false;
}

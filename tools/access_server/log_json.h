// The server's log: one JSON object per line, texts converted from CP1251 to UTF-8.
#pragma once

#include <string>

// A quoted JSON string for UTF-8 text, control characters escaped.
std::string JsonString(const std::string& utf8);

std::string HexBytes(const std::string& bytes);

class LogLine {
  public:
    // Every line starts with "t", seconds since the server started, to the millisecond.
    explicit LogLine(double seconds);
    LogLine& Text(const char* key, const std::string& cp1251);
    LogLine& Utf8(const char* key, const std::string& utf8);
    LogLine& TextList(const char* key, const std::string* cp1251, int count);
    LogLine& Flag(const char* key, bool value);
    LogLine& Number(const char* key, long long value);
    // The finished object, without a line end.
    std::string Finish() const { return body_ + "}"; }

  private:
    void Key(const char* key);
    std::string body_;
};

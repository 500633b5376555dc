// The support log file behind PlatOpenDebugLog.
#pragma once

// True while a log file is open.
bool DebugLogIsOpen();
// Appends one line (ANSI text, converted to UTF-8) and a CRLF, rotating the file when full.
void DebugLogWrite(const char* ansiText);

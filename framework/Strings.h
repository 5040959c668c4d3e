// String-table loading and small text helpers.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

// The string-table entry id of the resource module (empty when missing).
std::string LoadStr(UINT id, HINSTANCE instance = nullptr);

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies at most width bytes of a fixed-width field up to its first NUL:
// never reads past the field, even when it holds no NUL.
std::string FixedField(const void* field, size_t width);

// The text with every control byte and DEL written as \xNN (upper-case hex),
// so that bytes from elsewhere cannot move a terminal's cursor, clear its
// screen or break a line; every other byte stays as it is.
std::string EscapeControlBytes(const std::string& text);

// Window text of a control or window.
std::string GetText(HWND hwnd);

}  // namespace kv

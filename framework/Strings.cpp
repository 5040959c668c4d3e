#include "Strings.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "App.h"

namespace kv {

std::string LoadStr(UINT id, HINSTANCE instance) {
  if (!instance) instance = ResourceInstance();
  std::vector<char> buffer(512);
  for (;;) {
    int n = ::LoadStringA(instance, id, buffer.data(), static_cast<int>(buffer.size()));
    if (n <= 0) return std::string();
    if (n < static_cast<int>(buffer.size()) - 1) return std::string(buffer.data(), n);
    buffer.resize(buffer.size() * 2);
  }
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
  }
  va_end(args);
  return out;
}

std::string FixedField(const void* field, size_t width) {
  const char* p = static_cast<const char*>(field);
  const void* nul = std::memchr(p, 0, width);
  return std::string(p, nul ? static_cast<const char*>(nul) - p : width);
}

std::string EscapeControlBytes(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c != 0x7F) {
      out += static_cast<char>(c);
      continue;
    }
    static const char kHex[] = "0123456789ABCDEF";
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string GetText(HWND hwnd) {
  int n = ::GetWindowTextLengthA(hwnd);
  std::string text(static_cast<size_t>(n > 0 ? n : 0) + 1, '\0');
  int got = ::GetWindowTextA(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

}  // namespace kv

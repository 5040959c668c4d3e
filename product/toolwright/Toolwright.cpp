// Toolwright: the product's registry paths and the per-user settings of its
// tools (HKCU\<tool settings root>\<section>, one DWORD value per key).
#include "Toolwright.h"

#include <string>

#include "Handles.h"
#include "LabStore.h"

namespace {

bool ValidName(const char* text) {
  if (!text || !text[0]) return false;
  size_t n = strnlen(text, 256);
  return n < 256 && std::string(text, n).find('\\') == std::string::npos;
}

int CopyPath(const std::string& path, char* buffer, DWORD size) {
  if (!buffer || size == 0 || path.size() + 1 > size) return 0;
  memcpy(buffer, path.c_str(), path.size() + 1);
  return 1;
}

}  // namespace

extern "C" {

int WINAPI ReadToolSetting(int, const char* section, int, const char* key, int defaultValue) {
  if (!ValidName(section) || !ValidName(key)) return defaultValue;
  kv::CRegKey settings;
  if (kvlab::OpenKey(HKEY_CURRENT_USER, kvlab::ToolSettingsRoot() + "\\" + section, KEY_READ, settings) !=
      ERROR_SUCCESS)
    return defaultValue;
  return static_cast<int>(kvlab::ReadDword(settings.Get(), key, static_cast<DWORD>(defaultValue)));
}

int WINAPI WriteToolSetting(int, const char* section, int, const char* key, int value) {
  if (!ValidName(section) || !ValidName(key)) return ERROR_INVALID_PARAMETER;
  kv::CRegKey settings;
  LONG rc = kvlab::CreateKey(HKEY_CURRENT_USER, kvlab::ToolSettingsRoot() + "\\" + section, settings);
  if (rc != ERROR_SUCCESS) return rc;
  return kvlab::WriteDword(settings.Get(), key, static_cast<DWORD>(value));
}

int WINAPI GetProductRootPath(char* buffer, DWORD size) { return CopyPath(kvlab::ProductRoot(), buffer, size); }

int WINAPI GetDiscoveryTablePath(char* buffer, DWORD size) {
  return CopyPath(kvlab::DiscoveryTableRoot(), buffer, size);
}

}  // extern "C"

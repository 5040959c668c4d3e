// A Toolwright that knows the discovery table's path but not the product's
// root: the one failure of the console's start-up that the real library
// cannot show (its discovery path is the product root's path extended).
// Only the console's start-up test loads it, from a folder of its own.
#include <windows.h>

#include <cstring>

extern "C" {

int WINAPI ReadToolSetting(int, const char*, int, const char*, int defaultValue) { return defaultValue; }

int WINAPI WriteToolSetting(int, const char*, int, const char*, int) { return 0; }

int WINAPI GetProductRootPath(char*, DWORD) { return 0; }

int WINAPI GetDiscoveryTablePath(char* buffer, DWORD size) {
  static const char kPath[] = "SOFTWARE\\Quillmark\\KestravaNet\\DiscoveryTable";
  if (!buffer || size < sizeof(kPath)) return 0;
  std::memcpy(buffer, kPath, sizeof(kPath));
  return 1;
}

}  // extern "C"

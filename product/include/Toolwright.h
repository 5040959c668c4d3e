// Toolwright: registry paths and stored tool settings. Imported by ordinal
// (Toolwright.def). Path results are 16-bit truth values.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI ReadToolSetting(int reserved1, const char* section, int reserved2, const char* key, int defaultValue);  // @401
int WINAPI WriteToolSetting(int reserved1, const char* section, int reserved2, const char* key, int value);        // @403
int WINAPI GetProductRootPath(char* buffer, DWORD size);     // @1261
int WINAPI GetDiscoveryTablePath(char* buffer, DWORD size);  // @1262

#ifdef __cplusplus
}
#endif

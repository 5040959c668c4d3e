// Bellcast: what the discovery broadcasts report (peers, each server's
// products). Imported by ordinal (Bellcast.def).
#pragma once

#include <windows.h>

#include "ProductTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI OpenProductList(const char* server, HANDLE* handle, DWORD* reserved);  // @114: 0 = handle valid
int WINAPI NextProductEntry(HANDLE handle, DWORD index, ProductEntry* entry);     // @112: 0 = filled, else end
int WINAPI CloseProductList(HANDLE handle);                                      // @113
// Fills 24-byte peer entries; negative = failure, else the index of the last entry examined.
int WINAPI GetPeerTable(int reserved, void* table, DWORD size);  // @125

#ifdef __cplusplus
}
#endif

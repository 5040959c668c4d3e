// Dunlin: the discovery table and the role records in it. Imported by ordinal
// (Dunlin.def); statuses are Win32 codes (0 = success).
#pragma once

#include <windows.h>

#include "ProductTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI DiscoveryAttach(int reserved);                                       // @100: 0 = ready
int WINAPI DiscoveryDetach(void);                                               // @101
int WINAPI OpenServerEnum(HANDLE* handle, DWORD* reserved);                     // @102: 0 = handle valid
int WINAPI NextServerEntry(HANDLE handle, DWORD index, DiscoveryEntry* entry);  // @103: 0, 259 = no more, other = skip
int WINAPI CloseServerEnum(HANDLE handle);                                      // @105
int WINAPI RefreshDiscoveryTable(int reserved1, int reserved2);                 // @114
// record NULL with *size 0 removes the server's record.
int WINAPI WriteRoleRecord(const char* server, int productCode, const void* record, DWORD* size);  // @115
// *size: capacity in, byte count out.
int WINAPI ReadRoleRecord(const char* server, int productCode, void* buffer, DWORD* size);  // @116
// Not the product's: the enumerations opened and not yet closed in this
// process, for tests that check every caller closes what it opens.
int WINAPI OpenServerEnumCount(void);  // @900, by name too

#ifdef __cplusplus
}
#endif

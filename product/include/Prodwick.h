// Prodwick: product names and descriptions. Imported by ordinal
// (Prodwick.def). Results are 16-bit truth values: test the low 16 bits.
#pragma once

#include <windows.h>

#include "ProductTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI GetProductInfo(int productCode, ProductInfoBlock* block);  // @106
// buffer holds 250 characters.
int WINAPI GetProductName(int productCode, char* buffer, DWORD value, DWORD version);  // @110
// buffer holds 256 characters; data is the product entry's bytes from offset 40.
int WINAPI GetProductDescription(int productCode, char* buffer, DWORD value, DWORD version, const void* data);  // @114

#ifdef __cplusplus
}
#endif

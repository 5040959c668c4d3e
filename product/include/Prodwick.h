// Prodwick: product names and descriptions. Imported by ordinal
// (Prodwick.def). Results are 16-bit truth values: test the low 16 bits.
#pragma once

#include <windows.h>

#include "ProductTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

// Exported as ProdwickGetProductInfo: the plain name belongs to kernel32.
int WINAPI ProdwickGetProductInfo(int productCode, ProductInfoBlock* block);  // @106
// buffer holds 250 characters.
int WINAPI GetProductName(int productCode, char* buffer, DWORD value, DWORD version);  // @110
// buffer holds 256 characters; data is the product entry's bytes from offset 40.
int WINAPI GetProductDescription(int productCode, char* buffer, DWORD value, DWORD version, const void* data);  // @114

#ifdef __cplusplus
}

namespace prodwick {
inline int GetProductInfo(int productCode, ProductInfoBlock* block) { return ProdwickGetProductInfo(productCode, block); }
}  // namespace prodwick
#endif

// Prodwick: names and descriptions of the product's options, by version.
#include "Prodwick.h"

#include <cstdio>
#include <cstring>

#include "Catalogue.h"

namespace {

constexpr unsigned kNameChars = 250, kDescriptionChars = 256;

unsigned Major(DWORD version) { return (version >> 8) & 0xFF; }

}  // namespace

extern "C" {

int WINAPI ProdwickGetProductInfo(int productCode, ProductInfoBlock* block) {
  const kvcore::ProductInfo* p = kvcore::FindProduct(productCode);
  if (!block || !p) return 0;
  std::memset(block, 0, sizeof(*block));
  std::strncpy(block->keyName, p->keyName, sizeof(block->keyName) - 1);
  block->word = p->slots;
  return 1;
}

int WINAPI GetProductName(int productCode, char* buffer, DWORD, DWORD version) {
  const kvcore::ProductInfo* p = kvcore::FindProduct(productCode);
  if (!buffer) return 0;
  if (!p) {
    buffer[0] = '\0';
    return 0;
  }
  std::snprintf(buffer, kNameChars, "%s", Major(version) >= 7 ? p->name : p->legacyName);
  return 1;
}

// The description of the option for that version; a licence count (the
// entry's value) and the edition text carried in the entry's data are added
// when present. The data is read only up to its 32 bytes.
int WINAPI GetProductDescription(int productCode, char* buffer, DWORD value, DWORD version, const void* data) {
  if (!buffer) return 0;
  const kvcore::ProductInfo* p = kvcore::FindProduct(productCode);
  if (!p) {
    std::snprintf(buffer, kDescriptionChars, "Unknown product %d", productCode);
    return 0;
  }
  const char* text = Major(version) >= 7 ? p->description : p->legacyDescription;
  char edition[33] = {};
  if (data) {
    std::memcpy(edition, data, 32);
    for (char& c : edition)
      if (c && (c < 0x20 || c > 0x7E)) c = '?';
  }
  if (value > 1)
    std::snprintf(buffer, kDescriptionChars, "%s (%lu licences)", text, static_cast<unsigned long>(value));
  else
    std::snprintf(buffer, kDescriptionChars, "%s", text);
  if (edition[0] && std::strcmp(edition, p->keyName) != 0) {
    size_t used = std::strlen(buffer);
    std::snprintf(buffer + used, kDescriptionChars - used, " [%s]", edition);
  }
  return 1;
}

}  // extern "C"

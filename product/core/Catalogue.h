// The product's options: codes, names and descriptions by version, and the
// discovery-table key name of each option. Shared by Prodwick and the lab.
#pragma once

#include <cstdint>

namespace kvcore {

struct ProductInfo {
  int code;
  const char* keyName;     // discovery-table sub-key of the option's data
  uint16_t slots;          // role-record slots the option keeps
  const char* name;        // display name from version 7.0 on
  const char* legacyName;  // display name before 7.0
  const char* description;
  const char* legacyDescription;
};

// nullptr for a code the product does not have.
const ProductInfo* FindProduct(int code);
// All options, terminated by an entry with code 0.
const ProductInfo* Products();

// Version word of a product entry: bits 0-7 minor, 8-15 major, 16-31 build.
inline uint32_t MakeVersion(unsigned major, unsigned minor, unsigned build) {
  return (minor & 0xFF) | ((major & 0xFF) << 8) | ((build & 0xFFFF) << 16);
}

}  // namespace kvcore

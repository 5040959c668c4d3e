// Records exchanged with the backup product's libraries. Byte layouts are
// fixed: they are stored in registries and passed between machines.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#pragma pack(push, 1)

// One entry of the discovery table (44 bytes).
typedef struct DiscoveryEntry {
  char serverName[16];       // NUL-terminated
  char domainName[16];       // NUL-terminated
  uint32_t lastRespondTime;  // seconds since 1970-01-01 UTC
  uint32_t serverType;       // 24, 25 and 32 are the backup server types the console lists
  uint8_t ipv4[4];           // first octet first
} DiscoveryEntry;

// One entry of a server's product list (72 bytes, 18 words).
typedef struct ProductEntry {
  uint8_t reserved0[20];
  uint32_t productCode;  // byte 20
  uint32_t reserved1;
  uint32_t version;  // byte 28: bits 0-7 minor, 8-15 major, 16-31 build
  uint32_t value;    // byte 32: passed on to Prodwick
  uint32_t reserved2;
  uint8_t data[32];  // byte 40: passed on to Prodwick
} ProductEntry;

// A server's role record (76 bytes); the credential fields are scrambled.
typedef struct RoleRecord {
  char primaryName[24];  // NUL-padded
  uint32_t distributed;  // 1 distributed, 0 primary
  uint8_t userName[24];
  uint8_t password[24];
} RoleRecord;

// The product-information block that Prodwick fills (28 bytes).
typedef struct ProductInfoBlock {
  uint32_t reserved;
  char keyName[20];  // byte 4, NUL-terminated
  uint16_t word;     // byte 24
  uint16_t reserved2;
} ProductInfoBlock;

#pragma pack(pop)

enum { kSanProductCode = 65, kPeerEntrySize = 24, kPeerTableSize = 0x18000 };

#ifdef __cplusplus
static_assert(sizeof(DiscoveryEntry) == 44, "DiscoveryEntry is 44 bytes");
static_assert(sizeof(ProductEntry) == 72, "ProductEntry is 72 bytes");
static_assert(sizeof(RoleRecord) == 76, "RoleRecord is 76 bytes");
static_assert(sizeof(ProductInfoBlock) == 28, "ProductInfoBlock is 28 bytes");
}
#endif

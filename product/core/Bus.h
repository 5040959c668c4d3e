// The broadcast medium of the discovery service: a shared-memory section in
// which every running node publishes its entry, role record and products
// every BCastDelay ms, and from which the local node copies into the local
// discovery table. It carries nothing that must survive: a node that starts
// publishes again.
//
// Slot 0 belongs to the local machine; lab machines use the slot the lab
// store gives them. A slot is guarded by a sequence number (odd while a write
// is under way); writers take turns on it (a node and a lab command retiring
// its machine may write at the same moment).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "Handles.h"
#include "ProductTypes.h"

namespace kvcore {

enum : uint32_t { kBusSlots = 8192, kMaxRecordBytes = 128, kMaxProducts = 8 };
enum : uint32_t { kNoRecord = 0xFFFFFFFFu };  // recordType of a machine without a record
enum SlotState : LONG { SlotFree = 0, SlotActive = 1, SlotRetired = 2 };

struct BusSlot {
  volatile LONG seq;
  volatile LONG state;
  volatile LONG recordGen;    // bumped by whoever changes the machine's record
  volatile LONG retirements;  // bumped whenever the machine leaves the lab
  volatile LONG tableStamp;   // BusHeader::tableGen when the local node last rewrote this server's table key
  uint32_t publications;
  uint64_t publishedAt;  // ms since 1970
  char name[16];
  DiscoveryEntry entry;
  uint32_t recordLen;
  uint32_t recordType;
  uint8_t record[kMaxRecordBytes];
  uint32_t productCount;
  ProductEntry products[kMaxProducts];
  uint32_t bcastDelay;
  uint8_t pad[1024 - 4 * 5 - 4 - 8 - 16 - 44 - 8 - kMaxRecordBytes - 4 - 72 * kMaxProducts - 4];
};
static_assert(sizeof(BusSlot) == 1024, "bus slots are 1 KiB");

struct BusHeader {
  uint32_t magic;
  uint32_t slots;
  volatile LONG passes;        // passes of the local node
  volatile LONG localPid;      // process of the local node, 0 when none
  volatile LONG64 heartbeat;   // ms since 1970 of the local node's last pass
  volatile LONG64 passCpuUs;   // CPU time of all passes so far (the node's thread)
  volatile LONG64 passWallUs;  // elapsed time of all passes so far
  // What the local node did to the local discovery table, for its readers:
  // tableGen grows after every change (the changed server's slot then holds
  // it in tableStamp), tableShape whenever a server key is added or removed.
  volatile LONG tableGen;
  volatile LONG tableShape;
  char tablePath[256];  // the table the local node writes (under HKLM)
  uint8_t pad[4096 - 48 - 256];
};
static_assert(sizeof(BusHeader) == 4096, "the bus header is 4 KiB");

class CBus {
 public:
  // Opens (creating when needed) the bus of the current lab.
  bool Open();
  bool IsOpen() const { return m_header != nullptr; }
  BusHeader* Header() const { return m_header; }
  BusSlot* Slot(uint32_t index) const { return index < kBusSlots ? &m_slots[index] : nullptr; }

  // Consistent copy of a slot; false when it could not be read steadily.
  bool Read(uint32_t index, BusSlot& out) const;
  void BeginWrite(BusSlot* slot);
  void EndWrite(BusSlot* slot);
  // Forgets every publication, for a lab that is being removed: a process
  // that keeps the section open (a console's product libraries) must not
  // carry the machines of a removed lab into the next lab of the same name.
  void Clear();

  ~CBus();

 private:
  kv::CHandle m_mapping;
  BusHeader* m_header = nullptr;
  BusSlot* m_slots = nullptr;
};

std::string BusName();
std::string RefreshEventName();

// The slot of a machine (0 for the local machine or when the lab does not know it).
uint32_t SlotOfMachine(const std::string& name);
// Tells the machine's node that its record changed.
void NotifyRecordChanged(const std::string& machine);

}  // namespace kvcore

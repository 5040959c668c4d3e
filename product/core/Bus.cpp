#include "Bus.h"

#include <cstring>

#include "LabStore.h"

namespace kvcore {

namespace {
constexpr uint32_t kMagic = 0x4B564231;  // "KVB1"
}

std::string BusName() { return "Global\\KvLabBus-" + kvlab::LabTag(); }
std::string RefreshEventName() { return "Global\\KvDiscoveryRefresh-" + kvlab::LabTag(); }

bool CBus::Open() {
  if (m_header) return true;
  const uint64_t size = sizeof(BusHeader) + uint64_t(kBusSlots) * sizeof(BusSlot);
  m_mapping.Reset(::CreateFileMappingA(INVALID_HANDLE_VALUE, kvlab::SharedObjectAttributes(), PAGE_READWRITE,
                                       static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), BusName().c_str()));
  if (!m_mapping) return false;
  void* view = ::MapViewOfFile(m_mapping.Get(), FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!view) {
    m_mapping.Reset();
    return false;
  }
  m_header = static_cast<BusHeader*>(view);
  m_slots = reinterpret_cast<BusSlot*>(static_cast<uint8_t*>(view) + sizeof(BusHeader));
  // A new section is zero-filled; whoever comes first stamps it.
  if (::InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&m_header->magic), LONG(kMagic), 0) == 0)
    m_header->slots = kBusSlots;
  return true;
}

CBus::~CBus() {
  if (m_header) ::UnmapViewOfFile(m_header);
}

bool CBus::Read(uint32_t index, BusSlot& out) const {
  const BusSlot* slot = Slot(index);
  if (!slot) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    LONG before = slot->seq;
    if (before & 1) {
      ::SwitchToThread();
      continue;
    }
    MemoryBarrier();
    std::memcpy(&out, const_cast<const BusSlot*>(slot), sizeof(BusSlot));
    MemoryBarrier();
    if (slot->seq == before) return true;
  }
  return false;
}

void CBus::BeginWrite(BusSlot* slot) {
  // Wait for an even sequence and make it odd. A writer that died half-way
  // would leave it odd for good: after a while the slot is taken over.
  for (int tries = 0;; ++tries) {
    LONG seq = slot->seq;
    if (!(seq & 1) && ::InterlockedCompareExchange(&slot->seq, seq + 1, seq) == seq) break;
    if (tries >= 2000) {
      ::InterlockedExchange(&slot->seq, seq | 1);
      break;
    }
    ::Sleep(0);
  }
  MemoryBarrier();
}

void CBus::EndWrite(BusSlot* slot) {
  MemoryBarrier();
  ::InterlockedIncrement(&slot->seq);
}

void CBus::Clear() {
  if (!m_header) return;
  for (uint32_t i = 0; i < kBusSlots; ++i) {
    BusSlot* slot = &m_slots[i];
    if (slot->state == SlotFree && slot->publications == 0) continue;
    BeginWrite(slot);
    slot->state = SlotFree;
    slot->publications = 0;
    slot->publishedAt = 0;
    std::memset(slot->name, 0, sizeof(slot->name));
    slot->recordLen = 0;
    slot->recordType = kNoRecord;
    slot->productCount = 0;
    ::InterlockedIncrement(&slot->retirements);  // a node still running publishes no more
    EndWrite(slot);
  }
  ::InterlockedIncrement(&m_header->tableShape);
}

uint32_t SlotOfMachine(const std::string& name) {
  std::string canonical = kvlab::FindMachine(name);
  if (canonical.empty()) return 0;
  kv::CRegKey machine;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinePath(canonical), KEY_READ, machine) != ERROR_SUCCESS) return 0;
  DWORD slot = kvlab::ReadDword(machine.Get(), "Slot", 0);
  return slot < kBusSlots ? slot : 0;
}

void NotifyRecordChanged(const std::string& machine) {
  CBus bus;
  if (!bus.Open()) return;
  ::InterlockedIncrement(&bus.Slot(SlotOfMachine(machine))->recordGen);
}

}  // namespace kvcore

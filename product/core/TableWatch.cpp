#include "TableWatch.h"

#include <cstring>

#include "LabStore.h"

namespace kvcore {

namespace {

// The node counts as alive while it has passed within this time.
constexpr uint64_t kHeartbeatLimitMs = 10000;

// Generation a is later than b (the counters may wrap).
bool Newer(LONG a, LONG b) { return static_cast<LONG>(static_cast<ULONG>(a) - static_cast<ULONG>(b)) > 0; }

}  // namespace

CTableWatch::Outcome CTableWatch::Poll(const std::string& table, std::vector<std::string>& changed) {
  changed.clear();
  const std::string busName = BusName();
  if (!m_bus || busName != m_busName) {
    m_bus = std::make_unique<CBus>();
    m_busName = busName;
    m_watching = false;
  }
  if (!m_bus->Open()) return m_watching = false, Unwatched;
  BusHeader* h = m_bus->Header();
  // The generation first: whatever it announces is already in the registry.
  const LONG gen = h->tableGen;
  MemoryBarrier();
  const LONG shape = h->tableShape, pid = h->localPid;
  const bool alive = pid != 0 && static_cast<uint64_t>(h->heartbeat) + kHeartbeatLimitMs >= kvlab::NowMs() &&
                     strnlen(h->tablePath, sizeof(h->tablePath)) == table.size() &&
                     _strnicmp(h->tablePath, table.c_str(), table.size()) == 0;
  if (!alive) return m_watching = false, Unwatched;
  const bool whole = !m_watching || table != m_table || pid != m_pid || shape != m_shape;
  const LONG since = m_gen;
  m_watching = true;
  m_table = table;
  m_pid = pid;
  m_gen = gen;
  m_shape = shape;
  if (whole) return Reshaped;
  if (gen == since) return Changed;
  BusSlot copy;
  for (uint32_t i = 0; i < kBusSlots; ++i) {
    if (!Newer(m_bus->Slot(i)->tableStamp, since)) continue;
    if (!m_bus->Read(i, copy) || copy.state != SlotActive) return Reshaped;
    changed.emplace_back(copy.name, strnlen(copy.name, sizeof(copy.name)));
  }
  return Changed;
}

std::string FoldServerName(const std::string& name) {
  std::string folded(name);
  for (char& c : folded) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::string();
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

}  // namespace kvcore

#include "DiscoveryNode.h"

#include <cstdio>
#include <cstring>

#include "Catalogue.h"
#include "LabStore.h"

namespace kvcore {

std::string SanKeyName() { return FindProduct(kSanProductCode)->keyName; }

std::string OwnRecordPath(int productCode) {
  const ProductInfo* p = FindProduct(productCode);
  return kvlab::ProductRoot() + "\\RoleRecord\\" + (p ? p->keyName : "Unknown");
}

std::string BroadcastSettingPath() {
  return kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast\\TandDiscoverySetting";
}
std::string PeerTablePath() { return kvlab::ProductRoot() + "\\DiscoveryImplementationList\\Bellcast"; }

DWORD ReadBroadcastDelay(HKEY root) {
  kv::CRegKey key;
  if (kvlab::OpenKey(root, BroadcastSettingPath(), KEY_READ, key) != ERROR_SUCCESS) return 350;
  uint8_t data[4] = {};
  DWORD size = sizeof(data);
  if (::RegQueryValueExA(key.Get(), "BCastDelay", nullptr, nullptr, data, &size) != ERROR_SUCCESS) return 350;
  DWORD value = data[0] | (data[1] << 8) | (data[2] << 16) | (DWORD(data[3]) << 24);
  // A node cannot broadcast faster than this without burning the machine.
  return value < 20 ? 20 : (value > 600000 ? 600000 : value);
}

ProductEntry MakeProduct(int code, uint32_t version, uint32_t value) {
  ProductEntry e = {};
  e.productCode = static_cast<uint32_t>(code);
  e.version = version;
  e.value = value;
  const ProductInfo* p = FindProduct(code);
  if (p) std::strncpy(reinterpret_cast<char*>(e.data), p->keyName, sizeof(e.data) - 1);
  return e;
}

namespace {

void ParseIPv4(const std::string& text, uint8_t out[4]) {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) == 4) {
    out[0] = static_cast<uint8_t>(a), out[1] = static_cast<uint8_t>(b);
    out[2] = static_cast<uint8_t>(c), out[3] = static_cast<uint8_t>(d);
  }
}

void CopyField(char* field, size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), text.size() < width - 1 ? text.size() : width - 1);
}

}  // namespace

bool LoadIdentity(const std::string& name, NodeIdentity& out) {
  return LoadIdentityOf(kvlab::FindMachine(name), name, out);
}

bool LoadIdentityOf(const std::string& canonical, const std::string& name, NodeIdentity& out) {
  out = NodeIdentity();
  kv::CRegKey machine;
  if (canonical.empty() ||
      kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinePath(canonical), KEY_READ, machine) != ERROR_SUCCESS) {
    if (!kvlab::IsLocalName(name)) return false;
    out.name = name;
    CopyField(out.entry.serverName, 16, name);
    CopyField(out.entry.domainName, 16, "WORKGROUP");
    out.entry.serverType = 24;
    uint8_t loopback[4] = {127, 0, 0, 1};
    std::memcpy(out.entry.ipv4, loopback, 4);
    out.products = {MakeProduct(1, MakeVersion(8, 0, 1234), 1), MakeProduct(65, MakeVersion(8, 0, 1234), 1)};
    return true;
  }
  out.name = canonical;
  CopyField(out.entry.serverName, 16, canonical);
  CopyField(out.entry.domainName, 16, kvlab::ReadString(machine.Get(), "Domain"));
  out.entry.serverType = kvlab::ReadDword(machine.Get(), "Type", 24);
  ParseIPv4(kvlab::ReadString(machine.Get(), "IPv4"), out.entry.ipv4);
  DWORD slot = kvlab::ReadDword(machine.Get(), "Slot", 0);
  out.slot = slot < kBusSlots ? slot : 0;
  std::vector<uint8_t> products = kvlab::ReadBinary(machine.Get(), "Products");
  for (size_t off = 0; off + sizeof(ProductEntry) <= products.size() && out.products.size() < kMaxProducts;
       off += sizeof(ProductEntry)) {
    ProductEntry e;
    std::memcpy(&e, products.data() + off, sizeof(e));
    out.products.push_back(e);
  }
  return true;
}

CDiscoveryNode::CDiscoveryNode(NodeIdentity identity, HKEY root, bool own)
    : m_id(std::move(identity)), m_root(root), m_own(own) {
  m_delay = ReadBroadcastDelay(m_root);
}

CDiscoveryNode::~CDiscoveryNode() {
  if (m_own && m_root) ::RegCloseKey(m_root);
}

void CDiscoveryNode::ReadRecord() {
  m_recordLen = 0;
  m_recordType = kNoRecord;
  kv::CRegKey key;
  if (kvlab::OpenKey(m_root, OwnRecordPath(kSanProductCode), KEY_READ, key) != ERROR_SUCCESS) return;
  DWORD size = 0, type = 0;
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return;
  // Whatever the machine holds travels as it is (up to the slot's size), so
  // that a damaged record reaches the tables as damaged, not as a good one.
  std::vector<uint8_t> data(size ? size : 1);
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, data.data(), &size) != ERROR_SUCCESS) return;
  m_recordType = type;
  m_recordLen = size < DWORD(kMaxRecordBytes) ? size : DWORD(kMaxRecordBytes);
  std::memcpy(m_record, data.data(), m_recordLen);
}

void CDiscoveryNode::Publish(CBus& bus, uint64_t now) {
  BusSlot* slot = bus.Slot(m_id.slot);
  if (!slot) return;
  LONG gen = slot->recordGen;
  // Edits made to the registry without a notice are seen within 16 broadcasts.
  if (gen != m_seenGen || m_publications % 16 == 0) {
    m_seenGen = gen;
    ReadRecord();
    if (m_publications % 64 == 0) m_delay = ReadBroadcastDelay(m_root);
  }
  bus.BeginWrite(slot);
  if (m_retirements == -1) m_retirements = slot->retirements;
  if (slot->retirements != m_retirements) {
    // The machine left the lab after this node was made: a late publication
    // would bring a removed server back into the tables.
    m_retired = true;
    bus.EndWrite(slot);
    return;
  }
  ++m_publications;
  slot->state = SlotActive;
  slot->publications = m_publications;
  slot->publishedAt = now;
  std::memset(slot->name, 0, sizeof(slot->name));
  std::memcpy(slot->name, m_id.name.data(), m_id.name.size() < 15 ? m_id.name.size() : 15);
  slot->entry = m_id.entry;
  slot->entry.lastRespondTime = static_cast<uint32_t>(now / 1000);
  slot->recordLen = m_recordLen;
  slot->recordType = m_recordType;
  std::memcpy(slot->record, m_record, sizeof(m_record));
  slot->productCount = static_cast<uint32_t>(m_id.products.size());
  for (size_t i = 0; i < m_id.products.size() && i < kMaxProducts; ++i) slot->products[i] = m_id.products[i];
  slot->bcastDelay = m_delay;
  bus.EndWrite(slot);
}

bool CDiscoveryNode::RecordChanged(CBus& bus) const {
  BusSlot* slot = bus.Slot(m_id.slot);
  return slot && slot->recordGen != m_seenGen;
}

void CDiscoveryNode::Retire(CBus& bus) {
  BusSlot* slot = bus.Slot(m_id.slot);
  if (!slot) return;
  bus.BeginWrite(slot);
  slot->state = SlotRetired;
  ::InterlockedIncrement(&slot->retirements);
  bus.EndWrite(slot);
  m_retired = true;
}

void CDiscoveryNode::BindToSlot(CBus& bus) {
  BusSlot* slot = bus.Slot(m_id.slot);
  m_retirements = slot ? slot->retirements : -1;
  m_retired = false;
}

void CLocalReceiver::Announce(CBus& bus, uint32_t slot, bool reshaped) {
  // After the registry writes: a reader that sees the new generation finds
  // the table already changed (and the shape count already moved).
  BusHeader* h = bus.Header();
  if (reshaped) ::InterlockedIncrement(&h->tableShape);
  bus.Slot(slot)->tableStamp = ::InterlockedIncrement(&h->tableGen);
}

int CLocalReceiver::Pass(CBus& bus, uint64_t now, DWORD delay) {
  const std::string table = kvlab::DiscoveryTableRoot();
  const std::string sanKey = SanKeyName();
  kv::CRegKey root;
  if (kvlab::CreateKey(HKEY_LOCAL_MACHINE, table, root) != ERROR_SUCCESS) return 0;
  int writes = 0;
  BusSlot copy;
  for (uint32_t i = 0; i < kBusSlots; ++i) {
    BusSlot* raw = bus.Slot(i);
    Known& k = m_known[i];
    if (raw->state == SlotFree && !k.known) continue;
    if (raw->state == SlotActive && k.known && raw->publications == k.publications) continue;
    if (!bus.Read(i, copy)) continue;
    if (copy.state == SlotRetired) {
      if (k.known) ::RegDeleteTreeA(root.Get(), k.name.c_str()), ++writes;
      if (copy.name[0]) ::RegDeleteTreeA(root.Get(), std::string(copy.name, strnlen(copy.name, 16)).c_str());
      Announce(bus, i, true);
      ::InterlockedCompareExchange(&raw->state, SlotFree, SlotRetired);
      k = Known();
      continue;
    }
    if (copy.state != SlotActive || !copy.name[0]) {
      k = Known();
      continue;
    }
    std::string name(copy.name, strnlen(copy.name, sizeof(copy.name)));
    bool full = !k.known || k.name != name;

    // The entry is written when it changes; its respond time only once a
    // minute (spread over the slots), which is all the time any reader shows.
    DiscoveryEntry& e = copy.entry;
    bool fieldsDiffer = std::memcmp(&e, &k.entry, 32) != 0 || std::memcmp(&e.serverType, &k.entry.serverType, 8) != 0;
    bool minutePassed = (e.lastRespondTime + i % 60) / 60 != (k.entry.lastRespondTime + i % 60) / 60;
    bool writeEntry = full || fieldsDiffer || minutePassed;
    bool writeRecord = full || copy.recordLen != k.recordLen || copy.recordType != k.recordType ||
                       std::memcmp(copy.record, k.record, copy.recordLen) != 0;
    uint32_t count = copy.productCount < kMaxProducts ? copy.productCount : kMaxProducts;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(copy.products);
    std::vector<uint8_t> products(p, p + count * sizeof(ProductEntry));
    bool writeProducts = full || products != k.products;

    if (writeEntry || writeRecord || writeProducts) {
      kv::CRegKey server;
      if (kvlab::CreateKey(root.Get(), name, server) != ERROR_SUCCESS) continue;
      if (writeEntry) {
        kvlab::WriteBinary(server.Get(), "Entry", &e, sizeof(e));
        ++writes;
        k.entry = e;
      }
      if (writeRecord) {
        if (copy.recordType == kNoRecord) {
          ::RegDeleteTreeA(server.Get(), sanKey.c_str());
        } else {
          kv::CRegKey product;
          if (kvlab::CreateKey(server.Get(), sanKey, product) == ERROR_SUCCESS)
            ::RegSetValueExA(product.Get(), "Slot_1", 0, copy.recordType, copy.record, copy.recordLen);
        }
        ++writes;
        k.recordLen = copy.recordLen;
        k.recordType = copy.recordType;
        std::memcpy(k.record, copy.record, sizeof(k.record));
      }
      if (writeProducts) {
        kvlab::WriteBinary(server.Get(), "Products", products.data(), static_cast<DWORD>(products.size()));
        ++writes;
        k.products = std::move(products);
      }
      Announce(bus, i, full);
    }
    k.known = true;
    k.name = name;
    k.publications = copy.publications;
    k.publishedAt = copy.publishedAt;
  }

  // The peers: every node heard within the last few broadcasts.
  uint64_t window = 3ull * delay > 3000 ? 3ull * delay : 3000;
  std::vector<uint8_t> peers;
  for (uint32_t i = 0; i < kBusSlots && peers.size() < kPeerTableSize; ++i) {
    const Known& k = m_known[i];
    if (!k.known || k.publishedAt + window < now) continue;
    uint8_t entry[kPeerEntrySize] = {};
    std::memcpy(entry, k.name.data(), k.name.size() < 15 ? k.name.size() : 15);
    std::memcpy(entry + 16, k.entry.ipv4, 4);
    std::memcpy(entry + 20, &k.entry.serverType, 4);
    peers.insert(peers.end(), entry, entry + sizeof(entry));
  }
  if (!m_peersWritten || peers != m_peers) {
    kv::CRegKey bellcast;
    if (kvlab::CreateKey(HKEY_LOCAL_MACHINE, PeerTablePath(), bellcast) == ERROR_SUCCESS) {
      kvlab::WriteBinary(bellcast.Get(), "PeerTable", peers.data(), static_cast<DWORD>(peers.size()));
      ++writes;
      m_peers = std::move(peers);
      m_peersWritten = true;
    }
  }
  return writes;
}

}  // namespace kvcore

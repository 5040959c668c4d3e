// The Discovery Service node: one implementation, run by the real local
// service (kvdiscoverysvc) and, for the simulated machines, by the lab host.
//
// A running node publishes, every BCastDelay ms, its machine's discovery
// entry, its role record (read from its own machine's registry) and its
// products. The local node also receives: it copies what running nodes
// publish into the local discovery table and the broadcast peer table.
//
// Where things live (under the machine's HKLM):
//   ProductRoot\RoleRecord\<key>            "Slot_1": the machine's own record
//   DiscoveryTableRoot\<server>             "Entry" (44 bytes), "Products" (n x 72)
//   DiscoveryTableRoot\<server>\<key>       "Slot_1": the server's record as received
//   ProductRoot\DiscoveryImplementationList\Bellcast   "PeerTable" (n x 24)
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Bus.h"
#include "Handles.h"
#include "ProductTypes.h"

namespace kvcore {

std::string SanKeyName();  // the discovery-table key of product 65
std::string OwnRecordPath(int productCode);
std::string PeerTablePath();
std::string BroadcastSettingPath();
// "BCastDelay" under root (4 bytes or fewer, any type); 350 when missing.
DWORD ReadBroadcastDelay(HKEY root);

struct NodeIdentity {
  std::string name;
  DiscoveryEntry entry = {};  // lastRespondTime is set at each publication
  std::vector<ProductEntry> products;
  uint32_t slot = 0;
};
// The identity of a machine as the lab store describes it; for the local
// machine without a lab entry, a plain default one.
bool LoadIdentity(const std::string& name, NodeIdentity& out);
// The same for a machine name as the lab stores it (empty: not in the lab).
bool LoadIdentityOf(const std::string& canonical, const std::string& name, NodeIdentity& out);
ProductEntry MakeProduct(int code, uint32_t version, uint32_t value);

class CDiscoveryNode {
 public:
  // root: the machine's HKLM (owned when own is true).
  CDiscoveryNode(NodeIdentity identity, HKEY root, bool own);
  ~CDiscoveryNode();
  CDiscoveryNode(const CDiscoveryNode&) = delete;
  CDiscoveryNode& operator=(const CDiscoveryNode&) = delete;

  void Publish(CBus& bus, uint64_t now);
  // True when someone changed the machine's record since the last publication.
  bool RecordChanged(CBus& bus) const;
  // Marks the slot as retired so that receivers drop the server.
  void Retire(CBus& bus);
  // Ties the node to its machine's current presence in the lab: once the
  // machine is retired (removed), the node publishes nothing more.
  void BindToSlot(CBus& bus);
  bool IsRetired() const { return m_retired; }
  DWORD Delay() const { return m_delay; }
  const NodeIdentity& Identity() const { return m_id; }
  void SetIdentity(const NodeIdentity& id) { m_id = id; }
  uint64_t nextDue = 0;

 private:
  void ReadRecord();

  NodeIdentity m_id;
  HKEY m_root;
  bool m_own;
  DWORD m_delay = 350;
  LONG m_seenGen = -1;
  LONG m_retirements = -1;  // the slot's count when the node was bound; -1 unbound
  bool m_retired = false;
  uint32_t m_publications = 0;
  uint32_t m_recordLen = 0, m_recordType = 0;
  uint8_t m_record[kMaxRecordBytes] = {};
};

// The receiving half of the local node.
class CLocalReceiver {
 public:
  // One pass over the bus; returns the number of registry writes made.
  int Pass(CBus& bus, uint64_t now, DWORD delay);

 private:
  // Tells the table's readers that the server of slot was rewritten
  // (reshaped: its key was created or deleted).
  void Announce(CBus& bus, uint32_t slot, bool reshaped);

  struct Known {
    bool known = false;
    std::string name;
    DiscoveryEntry entry = {};
    uint32_t publications = 0;
    uint64_t publishedAt = 0;
    uint32_t recordLen = 0, recordType = 0;
    uint8_t record[kMaxRecordBytes] = {};
    std::vector<uint8_t> products;
  };
  std::vector<Known> m_known = std::vector<Known>(kBusSlots);
  std::vector<uint8_t> m_peers;
  bool m_peersWritten = false;
};

}  // namespace kvcore

// kvlabhost: runs the Discovery Service nodes of the lab's simulated machines
// (the local machine's node is the real service). One host per lab; it ends
// when asked to (kvlab, tests) or when its lab is removed.
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DiscoveryNode.h"
#include "LabStore.h"

namespace {

struct Machine {
  std::unique_ptr<kvcore::CDiscoveryNode> node;
  kvlab::ServiceTiming timing;
  bool online = false;
};

// What a reload reads of one machine of the lab, with a node made ready for
// a machine the host has no node for yet.
struct MachineInfo {
  std::string name;
  kvcore::NodeIdentity id;
  bool online = false;
  kvlab::ServiceTiming timing;
  std::unique_ptr<kvcore::CDiscoveryNode> node;
};

// Reads the lab's machines from the registry (thousands of keys after a
// `kvlab scale`); withNode: the machines the host already has a live node for.
std::vector<MachineInfo> ReadMachines(const std::set<std::string>& withNode, kvcore::CBus& bus) {
  std::vector<MachineInfo> infos;
  kv::CRegKey root;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinesPath(), KEY_READ, root) != ERROR_SUCCESS) return infos;
  std::set<std::string> seen;
  auto readOne = [&](const std::string& key) {
    kv::CRegKey m;
    if (kvlab::OpenKey(root.Get(), key, KEY_READ, m) != ERROR_SUCCESS) return;
    MachineInfo info;
    info.name = kvlab::ReadString(m.Get(), "Name", key);
    if (!seen.insert(info.name).second) return;
    if (kvlab::ReadDword(m.Get(), "Local", 0) || kvlab::IsLocalName(info.name)) return;
    if (!kvcore::LoadIdentityOf(info.name, info.name, info.id) || info.id.slot == 0) return;
    if (!withNode.count(info.name)) {
      HKEY registry = nullptr;
      if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kvlab::MachineRegistryPath(info.name).c_str(), 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &registry, nullptr) != ERROR_SUCCESS)
        return;
      info.node = std::make_unique<kvcore::CDiscoveryNode>(info.id, registry, true);
      info.node->BindToSlot(bus);
    }
    info.online = kvlab::ReadDword(m.Get(), "Online", 1) != 0;
    if (!kvlab::ReadServiceTiming(info.name, "kvdiscoverysvc", info.timing)) info.timing = {};
    infos.push_back(std::move(info));
  };
  for (const std::string& key : kvlab::SubKeyNames(root.Get())) readOne(key);
  // Keys are listed by index: one removed while they are listed moves the
  // next one to an index already passed. A machine the host runs that the
  // listing missed is looked up by name before it counts as gone.
  for (const std::string& name : withNode)
    if (!seen.count(name)) readOne(name);
  return infos;
}

std::set<std::string> NamesWithNode(const std::map<std::string, Machine>& machines) {
  std::set<std::string> names;
  for (const auto& [name, machine] : machines)
    if (machine.node && !machine.node->IsRetired()) names.insert(name);
  return names;
}

// Puts what a reload read in place (no registry access: the nodes keep
// publishing meanwhile). False when a machine still needs a node made.
bool Apply(std::map<std::string, Machine>& machines, std::vector<MachineInfo>& infos, kvcore::CBus& bus) {
  bool complete = true;
  std::map<std::string, Machine> next;
  for (MachineInfo& info : infos) {
    Machine machine;
    auto old = machines.find(info.name);
    // A node whose machine was removed (and perhaps added again since) starts afresh.
    if (old != machines.end() && !(old->second.node && old->second.node->IsRetired())) machine = std::move(old->second);
    if (!machine.node) {
      if (!info.node) {
        complete = false;
        continue;
      }
      machine.node = std::move(info.node);
    } else {
      bool moved = machine.node->Identity().slot != info.id.slot;
      machine.node->SetIdentity(info.id);
      if (moved) machine.node->BindToSlot(bus);
    }
    machine.online = info.online;
    machine.timing = info.timing;
    next.emplace(info.name, std::move(machine));
  }
  for (auto& [name, machine] : machines)  // machines that left the lab
    if (!next.count(name) && machine.node) machine.node->Retire(bus);
  machines = std::move(next);
  return complete;
}

// Reloads run on a thread of their own: a reload of thousands of machines
// takes seconds, and the nodes must go on publishing (a written record goes
// out at once) while it runs.
class CReloader {
 public:
  explicit CReloader(kvcore::CBus& bus) : m_bus(bus) {
    m_thread.Reset(::CreateThread(nullptr, 0, &CReloader::Run, this, 0, nullptr));
  }
  ~CReloader() {
    ::SetEvent(m_stop.Get());
    if (m_thread) ::WaitForSingleObject(m_thread.Get(), INFINITE);
  }
  bool Busy() const { return m_busy; }
  void Request(std::set<std::string> withNode) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_withNode = std::move(withNode);
    m_busy = true;
    ::SetEvent(m_request.Get());
  }
  // The machines of the last reload, once it is done.
  bool Take(std::vector<MachineInfo>& infos) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_ready) return false;
    infos = std::move(m_result);
    m_ready = m_busy = false;
    return true;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    auto* r = static_cast<CReloader*>(self);
    HANDLE waits[2] = {r->m_stop.Get(), r->m_request.Get()};
    while (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
      std::set<std::string> withNode;
      {
        std::lock_guard<std::mutex> guard(r->m_lock);
        withNode = r->m_withNode;
      }
      std::vector<MachineInfo> infos = ReadMachines(withNode, r->m_bus);
      std::lock_guard<std::mutex> guard(r->m_lock);
      r->m_result = std::move(infos);
      r->m_ready = true;
    }
    return 0;
  }

  kvcore::CBus& m_bus;
  kv::CHandle m_stop{::CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  kv::CHandle m_request{::CreateEventA(nullptr, FALSE, FALSE, nullptr)};
  kv::CHandle m_thread;
  std::mutex m_lock;
  std::set<std::string> m_withNode;
  std::vector<MachineInfo> m_result;
  bool m_ready = false;
  bool m_busy = false;  // main thread only
};

}  // namespace

int main() {
  kv::CHandle mutex(::CreateMutexA(kvlab::SharedObjectAttributes(), TRUE, kvlab::HostMutexName().c_str()));
  if (!mutex || ::GetLastError() == ERROR_ALREADY_EXISTS) return 0;  // one host per lab
  kv::CHandle quit(::CreateEventA(kvlab::SharedObjectAttributes(), TRUE, FALSE, kvlab::HostQuitEventName().c_str()));
  kv::CHandle wake(::CreateEventA(kvlab::SharedObjectAttributes(), FALSE, FALSE, kvlab::HostWakeEventName().c_str()));
  kv::CHandle changed(::CreateEventA(nullptr, FALSE, FALSE, nullptr));
  kvcore::CBus bus;
  if (!bus.Open() || !quit || !wake || !changed) return 1;
  kv::CRegKey machinesKey;
  kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinesPath(), KEY_NOTIFY | KEY_READ, machinesKey);
  auto watch = [&] {
    if (machinesKey)
      ::RegNotifyChangeKeyValue(machinesKey.Get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET,
                                changed.Get(), TRUE);
  };
  watch();
  std::map<std::string, Machine> machines;
  std::vector<MachineInfo> infos = ReadMachines({}, bus);
  Apply(machines, infos, bus);
  CReloader reloader(bus);
  uint64_t lastReload = kvlab::NowMs(), lastLabCheck = lastReload;
  bool reloadWanted = false;
  HANDLE waits[3] = {quit.Get(), wake.Get(), changed.Get()};
  for (;;) {
    DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, 20);
    if (w == WAIT_OBJECT_0 || w == WAIT_FAILED) break;
    if (w == WAIT_OBJECT_0 + 1 || w == WAIT_OBJECT_0 + 2) reloadWanted = true;
    if (w == WAIT_OBJECT_0 + 2) watch();
    uint64_t now = kvlab::NowMs();
    // Reload when the lab changes (at most five times a second) and every five
    // minutes in any case, one reload at a time, beside the publishing.
    if (!reloader.Busy() && ((reloadWanted && now - lastReload >= 200) || now - lastReload >= 300000)) {
      reloader.Request(NamesWithNode(machines));
      lastReload = now;
      reloadWanted = false;
    }
    if (reloader.Take(infos) && !Apply(machines, infos, bus)) reloadWanted = true;
    if (now - lastLabCheck >= 2000) {
      if (!kvlab::LabExists()) break;
      lastLabCheck = now;
    }
    for (auto& [name, machine] : machines) {
      DWORD state = kvlab::ComputeServiceStatus(machine.timing, now).dwCurrentState;
      bool publishing = machine.online && (state == SERVICE_RUNNING || state == SERVICE_STOP_PENDING);
      kvcore::CDiscoveryNode& node = *machine.node;
      if (!publishing) {
        node.nextDue = 0;
        continue;
      }
      if (node.nextDue == 0) node.nextDue = now + node.Identity().slot * 7919u % node.Delay();  // spread the nodes
      // A changed record goes out at once, as the product's service does
      // when told of a change; otherwise on the node's period.
      if (now >= node.nextDue || node.RecordChanged(bus)) {
        node.Publish(bus, now);
        node.nextDue += node.Delay();
        if (node.nextDue < now) node.nextDue = now + node.Delay();
      }
    }
  }
  return 0;
}

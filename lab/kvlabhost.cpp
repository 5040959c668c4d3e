// kvlabhost: runs the Discovery Service nodes of the lab's simulated machines
// (the local machine's node is the real service). One host per lab; it ends
// when asked to (kvlab, tests) or when its lab is removed.
#include <windows.h>

#include <map>
#include <memory>
#include <string>

#include "DiscoveryNode.h"
#include "LabStore.h"

namespace {

struct Machine {
  std::unique_ptr<kvcore::CDiscoveryNode> node;
  kvlab::ServiceTiming timing;
  bool online = false;
};

void Reload(std::map<std::string, Machine>& machines, kvcore::CBus& bus) {
  kv::CRegKey root;
  if (kvlab::OpenKey(HKEY_LOCAL_MACHINE, kvlab::MachinesPath(), KEY_READ, root) != ERROR_SUCCESS) return;
  std::map<std::string, Machine> next;
  for (const std::string& key : kvlab::SubKeyNames(root.Get())) {
    kv::CRegKey m;
    if (kvlab::OpenKey(root.Get(), key, KEY_READ, m) != ERROR_SUCCESS) continue;
    std::string name = kvlab::ReadString(m.Get(), "Name", key);
    if (kvlab::ReadDword(m.Get(), "Local", 0) || kvlab::IsLocalName(name)) continue;
    Machine machine;
    auto old = machines.find(name);
    // A node whose machine was removed (and perhaps added again since) starts afresh.
    if (old != machines.end() && !(old->second.node && old->second.node->IsRetired())) machine = std::move(old->second);
    kvcore::NodeIdentity id;
    if (!kvcore::LoadIdentityOf(name, name, id) || id.slot == 0) continue;
    if (!machine.node) {
      HKEY registry = nullptr;
      if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kvlab::MachineRegistryPath(name).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &registry, nullptr) != ERROR_SUCCESS)
        continue;
      machine.node = std::make_unique<kvcore::CDiscoveryNode>(id, registry, true);
      machine.node->BindToSlot(bus);
    } else {
      bool moved = machine.node->Identity().slot != id.slot;
      machine.node->SetIdentity(id);
      if (moved) machine.node->BindToSlot(bus);
    }
    machine.online = kvlab::ReadDword(m.Get(), "Online", 1) != 0;
    if (!kvlab::ReadServiceTiming(name, "kvdiscoverysvc", machine.timing)) machine.timing = {};
    next.emplace(name, std::move(machine));
  }
  for (auto& [name, machine] : machines)  // machines that left the lab
    if (!next.count(name) && machine.node) machine.node->Retire(bus);
  machines = std::move(next);
}

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
  Reload(machines, bus);
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
    // minutes in any case: a reload of thousands of machines holds up the
    // broadcasts for a moment.
    if ((reloadWanted && now - lastReload >= 200) || now - lastReload >= 300000) {
      Reload(machines, bus);
      lastReload = now;
      reloadWanted = false;
    }
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

// The lab's machines and their accounts: creating and removing the lab and
// its machines, their flags (trust, reachability) and their registries.
#include "LabAdmin.h"

#include <algorithm>
#include <set>

#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "LabAdminShared.h"

namespace kvlab {

namespace {

std::vector<uint8_t> DefaultProducts(bool san, unsigned variant) {
  std::vector<ProductEntry> list = {kvcore::MakeProduct(1, kvcore::MakeVersion(8, 0, 1234 + variant), 1)};
  if (variant % 3 == 0) list.push_back(kvcore::MakeProduct(12, kvcore::MakeVersion(8, 0, 1100), 4));
  if (san) list.push_back(kvcore::MakeProduct(65, kvcore::MakeVersion(8, 0, 1234 + variant), 1));
  if (variant % 4 == 1) list.push_back(kvcore::MakeProduct(47, kvcore::MakeVersion(6, 5, 820), 1));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(list.data());
  return std::vector<uint8_t>(p, p + list.size() * sizeof(ProductEntry));
}

std::string NextFreeAddress() {
  std::set<std::string> used;
  kv::CRegKey machines;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinesPath(), KEY_READ, machines) == ERROR_SUCCESS) {
    for (const std::string& name : SubKeyNames(machines.Get())) {
      kv::CRegKey m;
      if (OpenKey(machines.Get(), name, KEY_READ, m) == ERROR_SUCCESS) used.insert(ReadString(m.Get(), "IPv4"));
    }
  }
  for (unsigned n = 1; n < 65535; ++n) {
    if (n % 256 == 0 || n % 256 == 255) continue;
    std::string ip = "10.30." + std::to_string(n / 256) + "." + std::to_string(n % 256);
    if (!used.count(ip)) return ip;
  }
  return "10.30.255.254";
}

}  // namespace

std::string FieldText(const void* field, size_t width) {
  const char* p = static_cast<const char*>(field);
  return std::string(p, strnlen(p, width));
}

DWORD NextFreeSlot() {
  std::set<DWORD> used;
  kv::CRegKey machines;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinesPath(), KEY_READ, machines) == ERROR_SUCCESS) {
    for (const std::string& name : SubKeyNames(machines.Get())) {
      kv::CRegKey m;
      if (OpenKey(machines.Get(), name, KEY_READ, m) == ERROR_SUCCESS) used.insert(ReadDword(m.Get(), "Slot", 0));
    }
  }
  DWORD slot = 1;
  while (used.count(slot)) ++slot;
  return slot;
}

bool ValidMachineName(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  for (char c : name)
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
      return false;
  return true;
}

LONG CreateLab(DWORD transitionMs) {
  kv::CRegKey root, machines;
  LONG rc = CreateKey(HKEY_LOCAL_MACHINE, LabRoot(), root);
  if (rc != ERROR_SUCCESS) return rc;
  WriteDword(root.Get(), "TransitionMs", transitionMs);
  return CreateKey(HKEY_LOCAL_MACHINE, MachinesPath(), machines);
}

LONG DestroyLab() {
  StopHost();
  kvcore::CBus bus;
  if (bus.Open()) bus.Clear();
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, LabRoot().c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, LabRoot().c_str());
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, ProductRoot().c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, ProductRoot().c_str());
  return KeyExists(HKEY_LOCAL_MACHINE, LabRoot()) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

LONG AddMachine(const MachineSetup& setup, DWORD slot) {
  if (!ValidMachineName(setup.name)) return ERROR_INVALID_NAME;
  if (!FindMachine(setup.name).empty()) return ERROR_ALREADY_EXISTS;
  bool local = IsLocalName(setup.name);
  if (slot == 0xFFFFFFFF) slot = local ? 0 : NextFreeSlot();
  if (slot >= kvcore::kBusSlots) return ERROR_NO_SYSTEM_RESOURCES;
  kv::CRegKey m;
  LONG rc = CreateKey(HKEY_LOCAL_MACHINE, MachinePath(setup.name), m);
  if (rc != ERROR_SUCCESS) return rc;
  WriteString(m.Get(), "Name", setup.name);
  WriteString(m.Get(), "Domain", setup.domain);
  WriteString(m.Get(), "IPv4", setup.ipv4.empty() ? NextFreeAddress() : setup.ipv4);
  WriteDword(m.Get(), "Type", setup.type);
  WriteDword(m.Get(), "Online", setup.online);
  WriteDword(m.Get(), "Trust", setup.trust);
  WriteDword(m.Get(), "Local", local);
  WriteDword(m.Get(), "Slot", slot);
  std::vector<uint8_t> products = DefaultProducts(setup.san, slot);
  WriteBinary(m.Get(), "Products", products.data(), static_cast<DWORD>(products.size()));
  for (const Account& a : setup.accounts) SetAccount(setup.name, a.user, a.password);
  if (!local) {
    kv::CRegKey service, registry;
    CreateKey(m.Get(), std::string("Services\\") + kDiscovery, service);
    WriteDword(service.Get(), "Target", setup.discoveryRunning ? SERVICE_RUNNING : SERVICE_STOPPED);
    WriteQword(service.Get(), "ChangedAt", 0);
    rc = CreateKey(HKEY_LOCAL_MACHINE, MachineRegistryPath(setup.name) + "\\" + ProductRoot(), registry);
  }
  return rc;
}

LONG RemoveMachine(const std::string& name) {
  std::string canonical = FindMachine(name);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  uint32_t slot = kvcore::SlotOfMachine(canonical);
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, MachinePath(canonical).c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, MachinePath(canonical).c_str());
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, MachineRegistryPath(canonical).c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, MachineRegistryPath(canonical).c_str());
  ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, (SessionsPath() + "\\" + canonical).c_str());
  ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, (SessionsPath() + "\\" + canonical).c_str());
  // The machine leaves the network: the local node drops it from the table.
  kvcore::CBus bus;
  if (bus.Open() && slot) {
    kvcore::BusSlot* s = bus.Slot(slot);
    bus.BeginWrite(s);
    s->state = kvcore::SlotRetired;
    ::InterlockedIncrement(&s->retirements);
    bus.EndWrite(s);
  }
  kv::CHandle wake(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostWakeEventName().c_str()));
  if (wake) ::SetEvent(wake.Get());
  return ERROR_SUCCESS;
}

std::vector<std::string> MachineNames() {
  std::vector<std::string> names;
  kv::CRegKey machines;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinesPath(), KEY_READ, machines) != ERROR_SUCCESS) return names;
  for (const std::string& key : SubKeyNames(machines.Get())) {
    kv::CRegKey m;
    if (OpenKey(machines.Get(), key, KEY_READ, m) == ERROR_SUCCESS) names.push_back(ReadString(m.Get(), "Name", key));
  }
  std::sort(names.begin(), names.end());
  return names;
}

LONG SetAccount(const std::string& machine, const std::string& user, const std::string& password) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  if (user.empty() || user.size() > 23 || password.size() > 23 || user.find('\\') != std::string::npos)
    return ERROR_INVALID_PARAMETER;
  kv::CRegKey account;
  LONG rc = CreateKey(HKEY_LOCAL_MACHINE, MachinePath(canonical) + "\\Accounts\\" + user, account);
  if (rc != ERROR_SUCCESS) return rc;
  return WriteString(account.Get(), "Password", password);
}

LONG RemoveAccount(const std::string& machine, const std::string& user) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  if (user.empty() || user.find('\\') != std::string::npos) return ERROR_INVALID_PARAMETER;
  std::string path = MachinePath(canonical) + "\\Accounts\\" + user;
  if (!KeyExists(HKEY_LOCAL_MACHINE, path)) return ERROR_NO_SUCH_USER;
  return ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

std::vector<std::string> AccountUsers(const std::string& machine) {
  kv::CRegKey accounts;
  if (OpenKey(HKEY_LOCAL_MACHINE, MachinePath(FindMachine(machine)) + "\\Accounts", KEY_READ, accounts) !=
      ERROR_SUCCESS)
    return {};
  std::vector<std::string> users = SubKeyNames(accounts.Get());
  std::sort(users.begin(), users.end());
  return users;
}

namespace {

LONG SetFlag(const std::string& machine, const char* value, bool on) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  kv::CRegKey m;
  LONG rc = OpenKey(HKEY_LOCAL_MACHINE, MachinePath(canonical), KEY_ALL_ACCESS, m);
  if (rc == ERROR_SUCCESS) rc = WriteDword(m.Get(), value, on);
  kv::CHandle wake(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostWakeEventName().c_str()));
  if (wake) ::SetEvent(wake.Get());
  return rc;
}

}  // namespace

LONG SetTrust(const std::string& machine, bool trust) { return SetFlag(machine, "Trust", trust); }
LONG SetOnline(const std::string& machine, bool online) { return SetFlag(machine, "Online", online); }

LONG OpenMachineRoot(const std::string& machine, kv::CRegKey& root) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  if (Reach(canonical).local) return ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, nullptr, 0, KEY_ALL_ACCESS, root.Put());
  return CreateKey(HKEY_LOCAL_MACHINE, MachineRegistryPath(canonical), root);
}

}  // namespace kvlab

#include "LabAdmin.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <set>

#include <sddl.h>

#include "Catalogue.h"
#include "DiscoveryNode.h"

namespace kvlab {

namespace {

constexpr char kDiscovery[] = "kvdiscoverysvc";

std::string ModuleDirectory() {
  HMODULE module = nullptr;
  ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&ModuleDirectory), &module);
  char path[MAX_PATH] = {};
  std::string text(path, ::GetModuleFileNameA(module, path, MAX_PATH));
  return text.substr(0, text.find_last_of('\\') + 1);
}

std::string FieldText(const void* field, size_t width) {
  const char* p = static_cast<const char*>(field);
  return std::string(p, strnlen(p, width));
}

std::vector<uint8_t> DefaultProducts(bool san, unsigned variant) {
  std::vector<ProductEntry> list = {kvcore::MakeProduct(1, kvcore::MakeVersion(8, 0, 1234 + variant), 1)};
  if (variant % 3 == 0) list.push_back(kvcore::MakeProduct(12, kvcore::MakeVersion(8, 0, 1100), 4));
  if (san) list.push_back(kvcore::MakeProduct(65, kvcore::MakeVersion(8, 0, 1234 + variant), 1));
  if (variant % 4 == 1) list.push_back(kvcore::MakeProduct(47, kvcore::MakeVersion(6, 5, 820), 1));
  const uint8_t* p = reinterpret_cast<const uint8_t*>(list.data());
  return std::vector<uint8_t>(p, p + list.size() * sizeof(ProductEntry));
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

// The first address of 10.30.0.0/16 that no machine of the lab has.
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

std::string ListPath() { return ProductRoot() + "\\ELODistributedServers"; }

}  // namespace

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

void Scramble(uint8_t* field, size_t length) {
  uint8_t k = 1;
  for (size_t i = 0; i < length; ++i) {
    field[i] ^= k;
    k = k >= 250 ? 1 : static_cast<uint8_t>(k + 3);
  }
}

LONG SetRole(const std::string& machine, const std::string& primary, const std::string& user,
             const std::string& password) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  std::string primaryName = primary.empty() ? std::string() : FindMachine(primary);
  if (!primary.empty() && primaryName.empty()) return ERROR_BAD_NETPATH;
  if (user.size() > 23 || password.size() > 23) return ERROR_INVALID_PARAMETER;
  kv::CRegKey root, key;
  LONG rc = OpenMachineRoot(canonical, root);
  if (rc != ERROR_SUCCESS) return rc;
  if (primaryName.empty()) {
    if (kvlab::OpenKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), KEY_ALL_ACCESS, key) == ERROR_SUCCESS)
      ::RegDeleteValueA(key.Get(), "Slot_1");
  } else {
    RoleRecord record = {};
    std::memcpy(record.primaryName, primaryName.data(), std::min<size_t>(primaryName.size(), 23));
    record.distributed = primaryName != canonical;
    std::memcpy(record.userName, user.data(), user.size());
    std::memcpy(record.password, password.data(), password.size());
    Scramble(record.userName, 24);
    Scramble(record.password, 24);
    rc = CreateKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), key);
    if (rc == ERROR_SUCCESS) rc = WriteBinary(key.Get(), "Slot_1", &record, sizeof(record));
    if (rc == ERROR_SUCCESS && record.distributed) {
      kv::CRegKey proot, list;
      rc = OpenMachineRoot(primaryName, proot);
      if (rc == ERROR_SUCCESS) rc = CreateKey(proot.Get(), ListPath(), list);
      if (rc == ERROR_SUCCESS) rc = ::RegSetValueExA(list.Get(), canonical.c_str(), 0, REG_SZ, nullptr, 0);
    }
  }
  kvcore::NotifyRecordChanged(canonical);
  return rc;
}

LONG ReadRecord(const std::string& machine, RoleRecord& record) {
  kv::CRegKey root, key;
  LONG rc = OpenMachineRoot(machine, root);
  if (rc == ERROR_SUCCESS) rc = OpenKey(root.Get(), kvcore::OwnRecordPath(kSanProductCode), KEY_READ, key);
  if (rc != ERROR_SUCCESS) return rc;
  DWORD size = sizeof(record), type = REG_NONE;
  std::memset(&record, 0, sizeof(record));
  rc = ::RegQueryValueExA(key.Get(), "Slot_1", nullptr, &type, reinterpret_cast<BYTE*>(&record), &size);
  if (rc == ERROR_SUCCESS && (size != sizeof(record) || type != REG_BINARY)) rc = ERROR_INVALID_DATA;
  return rc;
}

std::vector<ListEntry> ReadList(const std::string& primary) {
  std::vector<ListEntry> entries;
  kv::CRegKey root, list;
  if (OpenMachineRoot(primary, root) != ERROR_SUCCESS ||
      OpenKey(root.Get(), ListPath(), KEY_READ, list) != ERROR_SUCCESS)
    return entries;
  DWORD count = 0;
  if (::RegQueryInfoKeyA(list.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
    return entries;
  // Room for the longest name the registry allows: a list may hold anything.
  std::vector<char> name(16384);
  for (DWORD i = 0; i < count; ++i) {
    ListEntry e;
    DWORD length = static_cast<DWORD>(name.size());
    LONG rc = ::RegEnumValueA(list.Get(), i, name.data(), &length, nullptr, &e.type, nullptr, &e.size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    e.name.assign(name.data(), length);
    entries.push_back(std::move(e));
  }
  std::sort(entries.begin(), entries.end(), [](const ListEntry& a, const ListEntry& b) { return a.name < b.name; });
  return entries;
}

std::vector<std::string> ListMembers(const std::string& primary) {
  std::vector<std::string> names;
  for (const ListEntry& e : ReadList(primary)) names.push_back(e.name);
  return names;
}

namespace {

// Takes name out of machine's list; the list goes with its last name.
void RemoveFromList(const std::string& machine, const std::string& name) {
  kv::CRegKey root, list;
  if (OpenMachineRoot(machine, root) != ERROR_SUCCESS ||
      OpenKey(root.Get(), ListPath(), KEY_ALL_ACCESS, list) != ERROR_SUCCESS)
    return;
  ::RegDeleteValueA(list.Get(), name.c_str());
  DWORD values = 1;
  if (::RegQueryInfoKeyA(list.Get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) == ERROR_SUCCESS &&
      values == 0) {
    list.Reset();
    ::RegDeleteKeyA(root.Get(), ListPath().c_str());
  }
}

void DeleteList(const std::string& machine) {
  kv::CRegKey root;
  if (OpenMachineRoot(machine, root) == ERROR_SUCCESS) ::RegDeleteTreeA(root.Get(), ListPath().c_str());
}

}  // namespace

LONG SetRoleKeepingLists(const std::string& machine, const std::string& primary, const std::string& user,
                         const std::string& password) {
  std::string canonical = FindMachine(machine);
  if (canonical.empty()) return ERROR_BAD_NETPATH;
  std::string target = primary.empty() ? std::string() : FindMachine(primary);
  if (!primary.empty() && target.empty()) return ERROR_BAD_NETPATH;
  RoleRecord old;
  std::string former = ReadRecord(canonical, old) == ERROR_SUCCESS ? FieldText(old.primaryName, 24) : std::string();
  if (LONG rc = SetRole(canonical, target, user, password)) return rc;
  std::string formerMachine = former.empty() ? std::string() : FindMachine(former);
  if (!formerMachine.empty() && formerMachine != canonical && formerMachine != target)
    RemoveFromList(formerMachine, canonical);
  if (target != canonical) DeleteList(canonical);  // not a primary (any more): no members
  return ERROR_SUCCESS;
}

LONG RefuseListWrites(const std::string& machine, bool refuse) {
  kv::CRegKey root, list;
  LONG rc = OpenMachineRoot(machine, root);
  if (rc != ERROR_SUCCESS) return rc;
  if (!KeyExists(root.Get(), ListPath())) {
    if (!refuse) return ERROR_SUCCESS;
    if ((rc = CreateKey(root.Get(), ListPath(), list)) != ERROR_SUCCESS) return rc;
  }
  rc = ::RegOpenKeyExA(root.Get(), ListPath().c_str(), 0, WRITE_DAC, list.Put());
  if (rc != ERROR_SUCCESS) return rc;
  // Everyone: read, delete and change the DACL back; no value or key writes.
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorA(refuse ? "D:P(A;;KRSDWD;;;WD)" : "D:(A;;KA;;;WD)",
                                                              SDDL_REVISION_1, &sd, nullptr))
    return static_cast<LONG>(::GetLastError());
  rc = ::RegSetKeySecurity(list.Get(), DACL_SECURITY_INFORMATION, sd);
  ::LocalFree(sd);
  return rc;
}

std::string Printable(const std::string& bytes) {
  std::string text;
  for (unsigned char c : bytes) {
    if (c == '\\') {
      text += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof(hex), "\\x%02X", c);
      text += hex;
    }
  }
  return text;
}

LONG ControlLabService(const std::string& machine, const std::string& service, ServiceOp op, SERVICE_STATUS& status) {
  std::string canonical = machine.empty() ? LocalComputerName() : FindMachine(machine);
  if (canonical.empty() && !IsLocalName(machine)) return ERROR_BAD_NETPATH;
  if (canonical.empty() || Reach(canonical).local) {
    kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return static_cast<LONG>(::GetLastError());
    kv::CServiceHandle svc(
        ::OpenServiceA(scm.Get(), service.c_str(), SERVICE_QUERY_STATUS | SERVICE_START | SERVICE_STOP));
    if (!svc) return static_cast<LONG>(::GetLastError());
    BOOL ok = op == ServiceStart  ? ::StartServiceA(svc.Get(), 0, nullptr)
              : op == ServiceStop ? ::ControlService(svc.Get(), SERVICE_CONTROL_STOP, &status)
                                  : TRUE;
    if (!ok) return static_cast<LONG>(::GetLastError());
    return ::QueryServiceStatus(svc.Get(), &status) ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
  }
  ServiceTiming timing;
  if (!ReadServiceTiming(canonical, service, timing)) return ERROR_SERVICE_DOES_NOT_EXIST;
  uint64_t now = NowMs();
  status = ComputeServiceStatus(timing, now);
  if (op == ServiceStart) {
    if (status.dwCurrentState != SERVICE_STOPPED) return ERROR_SERVICE_ALREADY_RUNNING;
    if (LONG rc = EnsureHost()) return rc;
    WriteServiceTarget(canonical, service, SERVICE_RUNNING);
  } else if (op == ServiceStop) {
    if (status.dwCurrentState == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
    if (status.dwCurrentState != SERVICE_RUNNING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
    WriteServiceTarget(canonical, service, SERVICE_STOPPED);
  }
  if (op != ServiceQuery && ReadServiceTiming(canonical, service, timing))
    status = ComputeServiceStatus(timing, NowMs());
  return ERROR_SUCCESS;
}

LONG InstallLocalService() {
  std::string command = "\"" + ModuleDirectory() + "kvdiscoverysvc.exe\" --lab-root \"" + LabRoot() +
                        "\" --product-root \"" + ProductRoot() + "\"";
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_ALL_ACCESS));
  if (svc) {
    if (!::ChangeServiceConfigA(svc.Get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, command.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr))
      return static_cast<LONG>(::GetLastError());
    return ERROR_SUCCESS;
  }
  svc.Reset(::CreateServiceA(scm.Get(), kDiscovery, "Kestrava Discovery Service", SERVICE_ALL_ACCESS,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(),
                             nullptr, nullptr, nullptr, nullptr, nullptr));
  return svc ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
}

LONG StopLocalService(DWORD timeoutMs) {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_QUERY_STATUS | SERVICE_STOP));
  if (!svc) return static_cast<LONG>(::GetLastError());
  SERVICE_STATUS status = {};
  if (!::ControlService(svc.Get(), SERVICE_CONTROL_STOP, &status) && ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
    return static_cast<LONG>(::GetLastError());
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    if (::QueryServiceStatus(svc.Get(), &status) && status.dwCurrentState == SERVICE_STOPPED) return ERROR_SUCCESS;
    ::Sleep(20);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

LONG StartLocalService() {
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, SERVICE_QUERY_STATUS | SERVICE_START));
  if (!svc) return static_cast<LONG>(::GetLastError());
  if (!::StartServiceA(svc.Get(), 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
    return static_cast<LONG>(::GetLastError());
  SERVICE_STATUS status = {};
  for (int i = 0; i < 500; ++i) {
    if (::QueryServiceStatus(svc.Get(), &status) && status.dwCurrentState == SERVICE_RUNNING) return ERROR_SUCCESS;
    ::Sleep(20);
  }
  return ERROR_SERVICE_REQUEST_TIMEOUT;
}

LONG RemoveLocalService() {
  StopLocalService();
  kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!scm) return static_cast<LONG>(::GetLastError());
  kv::CServiceHandle svc(::OpenServiceA(scm.Get(), kDiscovery, DELETE));
  if (!svc) return static_cast<LONG>(::GetLastError());
  return ::DeleteService(svc.Get()) ? ERROR_SUCCESS : static_cast<LONG>(::GetLastError());
}

bool WaitForTable(const std::vector<std::string>& names, DWORD timeoutMs) {
  for (DWORD waited = 0;; waited += 50) {
    bool all = true;
    for (const std::string& n : names)
      if (!KeyExists(HKEY_LOCAL_MACHINE, DiscoveryTableRoot() + "\\" + n)) {
        all = false;
        break;
      }
    if (all) return true;
    if (waited >= timeoutMs) return false;
    ::Sleep(50);
  }
}

LONG BuildDefaultLab(FILE* log) {
  StopHost();
  if (KeyExists(HKEY_LOCAL_MACHINE, LabRoot())) StopLocalService();
  DestroyLab();
  LONG rc = CreateLab(1500);
  if (rc != ERROR_SUCCESS) return rc;
  {
    kv::CRegKey setting;
    CreateKey(HKEY_LOCAL_MACHINE, kvcore::BroadcastSettingPath(), setting);
    WriteDword(setting.Get(), "BCastDelay", 350);
  }
  const std::string local = LocalComputerName();
  struct Row {
    const char* name;
    const char* domain;
    DWORD type;
    const char* ip;
    bool san;
    bool trust;
    const char* password;
  };
  const Row rows[] = {
      {"OSPREY", "KESTRAVA", 24, "10.10.0.11", true, false, "osprey-pw"},
      {"HERON", "KESTRAVA", 25, "10.10.0.12", true, false, "heron-pw"},
      {"KITE", "KESTRAVA", 32, "10.10.0.13", true, false, "kite-pw"},
      {"FALCON", "KESTRAVA", 24, "10.10.0.14", true, false, "falcon-pw"},
      {"CURLEW", "KESTRAVA", 25, "10.10.0.15", true, false, "curlew-pw"},
      {"TERN", "KESTRAVA", 32, "10.10.0.16", true, false, "tern-pw"},
      {"PLOVER", "FIELDNET", 24, "10.20.0.21", true, false, "plover-pw"},
      {"SWIFT", "FIELDNET", 25, "10.20.0.22", true, true, "swift-pw"},
      {"WREN", "FIELDNET", 24, "10.20.0.23", false, false, "wren-pw"},
      {"GANNET", "FIELDNET", 17, "10.20.0.24", true, false, "gannet-pw"},
      {"PETREL", "FIELDNET", 32, "10.20.0.25", true, false, "petrel-pw"},
  };
  MachineSetup self;
  self.name = local;
  self.ipv4 = "10.10.0.1";
  self.trust = true;  // the console's own machine
  self.accounts = {{"Administrator", "local-pw"}};
  if ((rc = AddMachine(self)) != ERROR_SUCCESS) return rc;
  std::vector<std::string> names = {local};
  for (const Row& r : rows) {
    MachineSetup m;
    m.name = r.name, m.domain = r.domain, m.type = r.type, m.ipv4 = r.ip, m.san = r.san, m.trust = r.trust;
    m.accounts = {{"Administrator", r.password}};
    if (std::strcmp(r.name, "CURLEW") == 0) m.accounts.push_back({"backup", "curlew-backup"});
    if ((rc = AddMachine(m)) != ERROR_SUCCESS) return rc;
    names.push_back(r.name);
  }
  SetRole("OSPREY", "OSPREY", "Administrator", "osprey-pw");
  SetRole("HERON", "OSPREY", "Administrator", "heron-pw");
  SetRole("KITE", "OSPREY", "Administrator", "kite-pw");
  SetRole("FALCON", "FALCON", "Administrator", "falcon-pw");
  if (log) std::fprintf(log, "lab: %zu machines in %s\n", names.size(), LabRoot().c_str());

  if ((rc = InstallLocalService()) != ERROR_SUCCESS) return rc;
  if ((rc = StartLocalService()) != ERROR_SUCCESS) return rc;
  if ((rc = EnsureHost()) != ERROR_SUCCESS) return rc;
  if (!WaitForTable(names, 20000)) return ERROR_TIMEOUT;
  // TERN answered once and then went off the network: its entry stays and ages.
  SetOnline("TERN", false);
  if (log) std::fprintf(log, "lab: discovery services running; TERN is offline\n");
  return ERROR_SUCCESS;
}

std::string ScaleMachineName(unsigned i) {
  char name[16];
  std::snprintf(name, sizeof(name), "SAN%05u", i);
  return name;
}

std::string ScalePrimaryName(unsigned i, unsigned group) { return ScaleMachineName(group ? i - (i - 1) % group : i); }

namespace {

// The primary named by server's record in the local table; false without one.
bool LocalRecordPrimary(const std::string& server, std::string& primary) {
  kv::CRegKey key;
  if (OpenKey(HKEY_LOCAL_MACHINE, DiscoveryTableRoot() + "\\" + server + "\\SanOption", KEY_READ, key)) return false;
  RoleRecord r = {};
  DWORD size = sizeof(r);
  if (::RegQueryValueExA(key.Get(), "Slot_1", nullptr, nullptr, reinterpret_cast<BYTE*>(&r), &size) != 0) return false;
  primary.assign(r.primaryName, ::strnlen(r.primaryName, sizeof(r.primaryName)));
  return true;
}

// Gives Scale's machines 1..count their roles in groups of group (none for 0).
LONG WriteScaleRoles(unsigned count, unsigned group, FILE* log) {
  for (unsigned i = 1; i <= count; ++i) {
    const std::string primary = group ? ScalePrimaryName(i, group) : std::string();
    // A machine without a role keeps still: rewriting nothing would only
    // make every node read its record again.
    RoleRecord record;
    if (!group && ReadRecord(ScaleMachineName(i), record) == ERROR_FILE_NOT_FOUND &&
        ReadList(ScaleMachineName(i)).empty())
      continue;
    if (LONG rc =
            SetRoleKeepingLists(ScaleMachineName(i), primary, group ? "Administrator" : "", group ? "scale-pw" : ""))
      return rc;
  }
  if (log) std::fprintf(log, "scale: roles written in groups of %u\n", group);
  return ERROR_SUCCESS;
}

// Waits until the local table shows the roles WriteScaleRoles gave.
bool WaitForScaleRoles(unsigned count, unsigned group, DWORD timeoutMs) {
  std::vector<unsigned> pending;
  for (unsigned i = 1; i <= count; ++i) pending.push_back(i);
  for (DWORD waited = 0; !pending.empty(); waited += 100) {
    if (waited > timeoutMs) return false;
    if (waited) ::Sleep(100);
    std::vector<unsigned> still;
    for (unsigned i : pending) {
      std::string primary;
      bool has = LocalRecordPrimary(ScaleMachineName(i), primary);
      if (group ? !has || primary != ScalePrimaryName(i, group) : has) still.push_back(i);
    }
    pending.swap(still);
  }
  return true;
}

}  // namespace

bool LocalRecordNames(const std::string& server, const std::string& primary) {
  std::string named;
  return LocalRecordPrimary(server, named) && named == primary;
}

LONG Scale(unsigned count, FILE* log, int group) {
  if (count == 0 || count > kvcore::kBusSlots - 64 || group < kScaleKeepRoles || group > static_cast<int>(count))
    return ERROR_INVALID_PARAMETER;
  std::vector<std::string> names;
  DWORD slot = NextFreeSlot();
  for (unsigned i = 1; i <= count; ++i) {
    const std::string name = ScaleMachineName(i);
    if (!FindMachine(name).empty()) continue;
    MachineSetup m;
    m.name = name;
    m.domain = i % 2 ? "KESTRAVA" : "FIELDNET";
    m.type = i % 3 == 0 ? 24 : (i % 3 == 1 ? 25 : 32);
    char ip[20];
    std::snprintf(ip, sizeof(ip), "10.%u.%u.%u", 100 + i / 65536, (i / 256) % 256, i % 256);
    m.ipv4 = ip;
    m.accounts = {{"Administrator", "scale-pw"}};
    while (slot < kvcore::kBusSlots && slot == 0) ++slot;
    if (LONG rc = AddMachine(m, slot++)) return rc;
    names.push_back(name);
  }
  if (log) std::fprintf(log, "scale: %zu machines added\n", names.size());
  if (group != kScaleKeepRoles)
    if (LONG rc = WriteScaleRoles(count, static_cast<unsigned>(group), log)) return rc;
  if (LONG rc = EnsureHost()) return rc;
  kv::CHandle wake(::OpenEventA(EVENT_MODIFY_STATE, FALSE, HostWakeEventName().c_str()));
  if (wake) ::SetEvent(wake.Get());
  kvcore::CBus bus;
  if (bus.Open() && bus.Header()->localPid != 0) {
    if (!WaitForTable(names, 50000)) return ERROR_TIMEOUT;
    if (log) std::fprintf(log, "scale: every machine is in the local discovery table\n");
    if (group != kScaleKeepRoles) {
      if (!WaitForScaleRoles(count, static_cast<unsigned>(group), 120000)) return ERROR_TIMEOUT;
      if (log) std::fprintf(log, "scale: every role is in the local discovery table\n");
    }
  }
  return ERROR_SUCCESS;
}

std::string ServiceStateName(DWORD state) {
  switch (state) {
    case SERVICE_RUNNING:
      return "running";
    case SERVICE_STOPPED:
      return "stopped";
    case SERVICE_START_PENDING:
      return "start pending";
    case SERVICE_STOP_PENDING:
      return "stop pending";
    default:
      return "state " + std::to_string(state);
  }
}

namespace {

std::string RoleText(const std::string& machine) {
  RoleRecord r;
  LONG rc = ReadRecord(machine, r);
  if (rc == ERROR_FILE_NOT_FOUND) return "none";
  if (rc != ERROR_SUCCESS) return "damaged";
  std::string primary = FieldText(r.primaryName, 24);
  return primary == machine ? "primary" : "distributed of " + Printable(primary);
}

std::string ServiceText(const std::string& machine, const char* service) {
  SERVICE_STATUS s = {};
  LONG rc = ControlLabService(machine, service, ServiceQuery, s);
  if (rc == ERROR_SERVICE_DOES_NOT_EXIST) return "not installed";
  if (rc != ERROR_SUCCESS) return "unknown (" + std::to_string(rc) + ")";
  return ServiceStateName(s.dwCurrentState);
}

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& s : items) text += (text.empty() ? "" : ",") + s;
  return text.empty() ? "-" : text;
}

std::vector<std::string> PrintableMembers(const std::string& primary) {
  std::vector<std::string> names;
  for (const ListEntry& e : ReadList(primary)) names.push_back(Printable(e.name));
  return names;
}

// What a member's record says, for a line of the audit.
std::string RecordSays(const std::string& machine) {
  RoleRecord r;
  LONG rc = ReadRecord(machine, r);
  if (rc == ERROR_FILE_NOT_FOUND) return "no primary";
  if (rc != ERROR_SUCCESS) return "nothing readable (status " + std::to_string(rc) + ")";
  std::string primary = FieldText(r.primaryName, 24);
  return primary.empty() ? "no primary" : Printable(primary);
}

}  // namespace

void Show(FILE* out) {
  std::vector<std::string> machines = MachineNames();
  std::fprintf(out, "lab %s: %zu machines\n\n", LabRoot().c_str(), machines.size());
  std::fprintf(out, "local discovery table (HKLM\\%s):\n", DiscoveryTableRoot().c_str());
  std::fprintf(out, "  %-15s %-15s %4s %-15s %-20s %s\n", "SERVER", "DOMAIN", "TYPE", "IPV4", "LAST RESPOND (UTC)",
               "RECORD");
  kv::CRegKey table;
  if (OpenKey(HKEY_LOCAL_MACHINE, DiscoveryTableRoot(), KEY_READ, table) == ERROR_SUCCESS) {
    std::vector<std::string> servers = SubKeyNames(table.Get());
    std::sort(servers.begin(), servers.end());
    for (const std::string& s : servers) {
      kv::CRegKey server;
      if (OpenKey(table.Get(), s, KEY_READ, server) != ERROR_SUCCESS) continue;
      std::vector<uint8_t> raw = ReadBinary(server.Get(), "Entry");
      DiscoveryEntry e = {};
      if (raw.size() == sizeof(e)) std::memcpy(&e, raw.data(), sizeof(e));
      char when[32] = "-";
      time_t t = e.lastRespondTime;
      if (t && std::gmtime(&t)) std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", std::gmtime(&t));
      char ip[20];
      std::snprintf(ip, sizeof(ip), "%u.%u.%u.%u", e.ipv4[0], e.ipv4[1], e.ipv4[2], e.ipv4[3]);
      std::string record = "none";
      kv::CRegKey product;
      if (OpenKey(server.Get(), kvcore::SanKeyName(), KEY_READ, product) == ERROR_SUCCESS) {
        std::vector<uint8_t> r = ReadBinary(product.Get(), "Slot_1");
        record = r.size() == sizeof(RoleRecord) ? "names " + Printable(FieldText(r.data(), 24))
                                                : "damaged (" + std::to_string(r.size()) + " bytes)";
      }
      std::fprintf(out, "  %-15s %-15s %4lu %-15s %-20s %s\n", s.c_str(), FieldText(e.domainName, 16).c_str(),
                   static_cast<unsigned long>(e.serverType), ip, when, record.c_str());
    }
  }
  std::fprintf(out, "\nmachines:\n");
  std::fprintf(out, "  %-15s %-7s %-5s %-20s %-26s %-20s %s\n", "NAME", "STATE", "TRUST", "ACCOUNTS", "ROLE RECORD",
               "MEMBER LIST", "DISCOVERY SERVICE");
  for (const std::string& m : machines) {
    Reachability r = Reach(m);
    std::string name = m + (r.local ? "*" : "");
    std::fprintf(out, "  %-15s %-7s %-5s %-20s %-26s %-20s %s\n", name.c_str(), r.online ? "online" : "offline",
                 r.trust ? "yes" : "no", Join(AccountUsers(m)).c_str(), RoleText(m).c_str(),
                 Join(PrintableMembers(m)).c_str(), ServiceText(m, kDiscovery).c_str());
  }
  std::fprintf(out, "  (* the local machine)\n\nlocal services: kvdiscoverysvc %s, KVTapeEngine %s\n",
               ServiceText(LocalComputerName(), kDiscovery).c_str(),
               ServiceText(LocalComputerName(), "KVTapeEngine").c_str());
}

int Audit(FILE* out) {
  int problems = 0;
  auto report = [&](const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    ++problems;
  };
  for (const std::string& m : MachineNames()) {
    // The machine's own record against the list of the primary it names.
    RoleRecord r;
    LONG rc = ReadRecord(m, r);
    std::string primary = rc == ERROR_SUCCESS ? FieldText(r.primaryName, 24) : std::string();
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
      report(m + ": role record is damaged (status " + std::to_string(rc) + ")");
    else if (rc == ERROR_SUCCESS && primary.empty())
      report(m + ": role record is damaged (it names no primary)");
    if (!primary.empty() && primary != m) {
      std::string p = FindMachine(primary);
      if (p.empty()) {
        report(m + ": record names " + Printable(primary) + ", which is not a machine of the lab");
      } else if (p != primary) {
        report(m + ": record names " + Printable(primary) + " but the machine is " + p +
               " (names compare case-sensitively)");
      } else {
        std::vector<std::string> members = ListMembers(p);
        if (std::find(members.begin(), members.end(), m) == members.end())
          report(m + ": record names " + p + " but " + p + "'s list does not hold " + m);
        RoleRecord pr;
        if (ReadRecord(p, pr) != ERROR_SUCCESS || FieldText(pr.primaryName, 24) != p)
          report(m + ": record names " + p + ", which is not a primary");
      }
    }
    // The machine's list against the records of the machines it holds.
    std::vector<ListEntry> list = ReadList(m);
    if (!list.empty() && primary != m) report(m + ": has a member list but is not a primary");
    for (const ListEntry& e : list) {
      const std::string name = Printable(e.name);
      if (e.type != REG_SZ || e.size > 1)
        report(m + ": list entry " + name + " is not an empty REG_SZ (type " + std::to_string(e.type) + ", " +
               std::to_string(e.size) + " bytes)");
      std::string member = FindMachine(e.name);
      if (e.name == m) {
        report(m + ": list holds " + m + " itself");
      } else if (member.empty()) {
        report(m + ": list holds " + name + ", which is not a machine of the lab");
      } else if (member != e.name) {
        report(m + ": list holds " + name + " but the machine is " + member + " (names compare case-sensitively)");
      } else {
        std::string says = RecordSays(member);
        if (says != m) report(m + ": list holds " + member + " but " + member + "'s record names " + says);
      }
    }
  }
  std::fprintf(out, problems ? "audit: %d disagreement(s)\n" : "audit: no disagreements\n", problems);
  return problems;
}

}  // namespace kvlab

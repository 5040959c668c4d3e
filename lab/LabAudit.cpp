// What the lab shows of itself: `kvlab show` and `kvlab audit`.
#include "LabAdmin.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "Catalogue.h"
#include "DiscoveryNode.h"
#include "LabAdminShared.h"

namespace kvlab {

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

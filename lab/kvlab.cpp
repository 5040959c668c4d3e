// kvlab: builds and drives the lab (the simulated SAN) of this Wine prefix.
// Exit codes: 0 done, 1 the operation failed, 2 bad command line.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LabAdmin.h"
#include "LabFault.h"

namespace {

const char kUsage[] =
    "usage: kvlab COMMAND [ARGS]\n"
    "  init                                build the default lab and start its services\n"
    "  destroy                             stop the host and remove the lab\n"
    "  show                                local discovery table, machines, records, lists, services\n"
    "  audit                               disagreements between role records and member lists\n"
    "  add NAME [--domain D] [--type N] [--ip A.B.C.D] [--no-san] [--offline] [--trust]\n"
    "           [--stopped] [--account USER PASSWORD]\n"
    "  remove NAME\n"
    "  accounts NAME [add USER PASSWORD | remove USER]\n"
    "  trust NAME on|off\n"
    "  offline NAME | online NAME\n"
    "  set-role NAME PRIMARY|none [--user USER --password PASSWORD]\n"
    "                                      write the record; the member lists follow\n"
    "  service start|stop|status MACHINE [discovery|tape]\n"
    "  busy [SECONDS]                      hold \"KestravaIsRunning\" until Enter (or for SECONDS)\n"
    "  scale N [--group G]                 add N running servers SAN00001..; with G, every Gth\n"
    "                                      a primary of the next G-1 (G 0: no roles)\n"
    "  fault [--after N [--status S] [--kill] | --clear]\n"
    "                                      fail the Nth remote call from now with status S (53),\n"
    "                                      or end the process making it (--kill); alone: the calls so far\n"
    "  network [--latency-ms L [--jitter-ms J] [--unreachable-ms T] | --off]\n"
    "                                      every remote call to a lab machine takes L (+-J, J <= L) ms,\n"
    "                                      a call to an offline one fails after T ms (default L);\n"
    "                                      alone: the settings\n";

int Usage(const char* problem) {
  if (problem) std::fprintf(stderr, "kvlab: %s\n", problem);
  std::fputs(kUsage, stderr);
  return 2;
}

int Failed(const char* what, LONG rc) {
  char text[256] = "";
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(rc), 0, text,
                   sizeof(text), nullptr);
  for (char* p = text; *p; ++p)
    if (*p == '\r' || *p == '\n') *p = ' ';
  std::fprintf(stderr, "kvlab: %s failed: status %ld %s\n", what, static_cast<long>(rc), text);
  return 1;
}

// A decimal number of digits only (no sign, blank or other character) that
// is at most max.
bool ParseUnsigned(const char* text, unsigned long max, unsigned long& out) {
  if (!text || !*text) return false;
  unsigned long long value = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > max) return false;
  }
  out = static_cast<unsigned long>(value);
  return true;
}

// Four numbers 0 to 255, each of one to three digits, between dots.
bool ValidIPv4(const char* text) {
  std::string rest = text ? text : "";
  for (int part = 0; part < 4; ++part) {
    size_t dot = part < 3 ? rest.find('.') : rest.size();
    if (dot == std::string::npos || dot == 0 || dot > 3) return false;
    unsigned long n = 0;
    if (!ParseUnsigned(rest.substr(0, dot).c_str(), 255, n)) return false;
    rest = part < 3 ? rest.substr(dot + 1) : std::string();
  }
  return true;
}

std::string Known(const char* name) {
  std::string canonical = kvlab::FindMachine(name ? name : "");
  if (canonical.empty()) std::fprintf(stderr, "kvlab: no machine %s in the lab\n", name ? name : "");
  return canonical;
}

int Add(int argc, char** argv) {
  if (argc < 3) return Usage("add needs a NAME");
  kvlab::MachineSetup m;
  m.name = argv[2];
  if (!kvlab::ValidMachineName(m.name)) return Usage("a machine name has 1 to 15 letters, digits, '-' or '_'");
  for (int i = 3; i < argc; ++i) {
    std::string o = argv[i];
    unsigned long n = 0;
    if (o == "--domain" && i + 1 < argc && std::strlen(argv[i + 1]) < 16)
      m.domain = argv[++i];
    else if (o == "--type" && i + 1 < argc && ParseUnsigned(argv[i + 1], 0xFFFFFFFF, n))
      m.type = n, ++i;
    else if (o == "--ip" && i + 1 < argc && ValidIPv4(argv[i + 1]))
      m.ipv4 = argv[++i];
    else if (o == "--no-san")
      m.san = false;
    else if (o == "--offline")
      m.online = false;
    else if (o == "--trust")
      m.trust = true;
    else if (o == "--stopped")
      m.discoveryRunning = false;
    else if (o == "--account" && i + 2 < argc && std::strlen(argv[i + 1]) <= 23 && std::strlen(argv[i + 2]) <= 23)
      m.accounts.push_back({argv[i + 1], argv[i + 2]}), i += 2;
    else
      return Usage(("bad option or value: " + o).c_str());
  }
  if (!kvlab::LabExists()) return Failed("add (no lab: run kvlab init)", ERROR_FILE_NOT_FOUND);
  if (LONG rc = kvlab::AddMachine(m)) return Failed("add", rc);
  if (m.discoveryRunning)
    if (LONG rc = kvlab::EnsureHost()) return Failed("starting the lab host", rc);
  std::printf("added %s\n", m.name.c_str());
  return 0;
}

int Accounts(int argc, char** argv) {
  if (argc < 3) return Usage("accounts needs a NAME");
  std::string m = Known(argv[2]);
  if (m.empty()) return 1;
  if (argc == 3) {
    for (const std::string& u : kvlab::AccountUsers(m)) std::printf("%s\n", u.c_str());
    return 0;
  }
  std::string op = argv[3];
  if (op == "add" && argc == 6) {
    if (std::strlen(argv[4]) > 23 || std::strlen(argv[5]) > 23) return Usage("user names and passwords: 23 characters");
    if (LONG rc = kvlab::SetAccount(m, argv[4], argv[5])) return Failed("accounts add", rc);
    std::printf("%s: account %s set\n", m.c_str(), argv[4]);
    return 0;
  }
  if (op == "remove" && argc == 5) {
    if (LONG rc = kvlab::RemoveAccount(m, argv[4])) return Failed("accounts remove", rc);
    std::printf("%s: account %s removed\n", m.c_str(), argv[4]);
    return 0;
  }
  return Usage("accounts NAME [add USER PASSWORD | remove USER]");
}

int SetRole(int argc, char** argv) {
  if (argc < 4) return Usage("set-role needs NAME and PRIMARY (or none)");
  std::string m = Known(argv[2]);
  if (m.empty()) return 1;
  std::string primary = argv[3];
  std::string user = "Administrator", password;
  bool passwordGiven = false;
  for (int i = 4; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--user" && i + 1 < argc)
      user = argv[++i];
    else if (o == "--password" && i + 1 < argc)
      password = argv[++i], passwordGiven = true;
    else
      return Usage(("bad option: " + o).c_str());
  }
  if (user.size() > 23 || password.size() > 23) return Usage("user names and passwords: 23 characters");
  if (primary == "none")
    primary.clear();
  else if ((primary = Known(argv[3])).empty())
    return 1;
  if (!passwordGiven && !primary.empty()) {
    // Without a password the record carries nothing that opens a session.
    std::fprintf(stderr, "kvlab: note: no --password given; the record holds an empty password\n");
  }
  if (LONG rc = kvlab::SetRoleKeepingLists(m, primary, user, password)) return Failed("set-role", rc);
  std::printf(primary.empty() ? "%s: no role\n" : "%s: record names %s\n", m.c_str(), primary.c_str());
  return 0;
}

int Service(int argc, char** argv) {
  if (argc < 4) return Usage("service start|stop|status MACHINE [discovery|tape]");
  std::string op = argv[2];
  kvlab::ServiceOp sop = op == "start"    ? kvlab::ServiceStart
                         : op == "stop"   ? kvlab::ServiceStop
                         : op == "status" ? kvlab::ServiceQuery
                                          : static_cast<kvlab::ServiceOp>(-1);
  if (sop == static_cast<kvlab::ServiceOp>(-1)) return Usage("service start|stop|status");
  std::string which = argc > 4 ? argv[4] : "discovery";
  if (which != "discovery" && which != "tape") return Usage("the service is discovery or tape");
  std::string machine = argv[3];
  if (!kvlab::IsLocalName(machine) && (machine = Known(argv[3])).empty()) return 1;
  if (which == "tape" && !kvlab::IsLocalName(machine))
    return Usage("the tape engine is a service of the local machine");
  const char* name = which == "tape" ? "KVTapeEngine" : "kvdiscoverysvc";
  SERVICE_STATUS s = {};
  if (LONG rc = kvlab::ControlLabService(machine, name, sop, s)) return Failed(("service " + op).c_str(), rc);
  std::printf("%s %s: %s", machine.c_str(), name, kvlab::ServiceStateName(s.dwCurrentState).c_str());
  if (s.dwCurrentState == SERVICE_START_PENDING || s.dwCurrentState == SERVICE_STOP_PENDING)
    std::printf(" (checkpoint %lu, wait hint %lu ms)", static_cast<unsigned long>(s.dwCheckPoint),
                static_cast<unsigned long>(s.dwWaitHint));
  std::printf("\n");
  return 0;
}

int Busy(int argc, char** argv) {
  unsigned long seconds = 0;
  if (argc > 3 || (argc == 3 && !ParseUnsigned(argv[2], 86400, seconds))) return Usage("busy [SECONDS]");
  kv::CHandle mutex(::CreateMutexA(nullptr, TRUE, "KestravaIsRunning"));
  if (!mutex) return Failed("busy", static_cast<LONG>(::GetLastError()));
  if (::GetLastError() == ERROR_ALREADY_EXISTS)
    std::printf("KestravaIsRunning already held elsewhere; holding it too\n");
  if (argc == 3) {
    std::printf("holding KestravaIsRunning for %lu s\n", seconds);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds * 1000));
  } else {
    std::printf("holding KestravaIsRunning; press Enter to end\n");
    std::fflush(stdout);
    std::getchar();
  }
  return 0;
}

int Fault(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[2], "--clear") == 0) {
    if (LONG rc = kvlab::ClearFault()) return Failed("fault --clear", rc);
    std::printf("fault: cleared\n");
    return 0;
  }
  if (argc == 2) {
    kvlab::FaultSwitch s = kvlab::ReadFault();
    if (!s.set) {
      std::printf("fault: none set\n");
      return 0;
    }
    std::printf("fault: call %lu %s status %lu%s; %lu call(s) since it was set\n", static_cast<unsigned long>(s.after),
                s.kill ? "ends its process with" : "fails with", static_cast<unsigned long>(s.status),
                s.Hit() ? " (hit)" : "", static_cast<unsigned long>(s.calls));
    return 0;
  }
  unsigned long after = 0, status = ERROR_BAD_NETPATH;
  bool kill = false;
  for (int i = 2; i < argc; ++i) {
    std::string o = argv[i];
    if (o == "--after" && i + 1 < argc && ParseUnsigned(argv[i + 1], 0xFFFFFFFF, after) && after > 0)
      ++i;
    else if (o == "--status" && i + 1 < argc && ParseUnsigned(argv[i + 1], 0xFFFFFFFF, status) && status > 0)
      ++i;
    else if (o == "--kill")
      kill = true;
    else
      return Usage(("bad option or value: " + o).c_str());
  }
  if (after == 0) return Usage("fault needs --after N (1 or more)");
  if (LONG rc = kvlab::SetFault(after, status, kill)) return Failed("fault", rc);
  std::printf("fault: call %lu from now %s status %lu\n", after, kill ? "ends its process with" : "fails with", status);
  return 0;
}

void PrintNetwork(const kvlab::NetworkSetting& n) {
  if (!n.set) {
    std::printf("network: off\n");
    return;
  }
  std::printf("network: %lu ms (+-%lu) per remote call; an offline machine fails after %lu ms\n",
              static_cast<unsigned long>(n.latencyMs), static_cast<unsigned long>(n.jitterMs),
              static_cast<unsigned long>(n.unreachableMs));
}

int Network(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[2], "--off") == 0) {
    if (LONG rc = kvlab::ClearNetwork()) return Failed("network --off", rc);
    std::printf("network: off\n");
    return 0;
  }
  if (argc == 2) return PrintNetwork(kvlab::ReadNetwork()), 0;
  // Up to ten minutes a call: more is a typing error, not a network.
  const unsigned long kMaxMs = 600000;
  unsigned long latency = 0, jitter = 0, unreachable = 0;
  bool hasLatency = false, hasUnreachable = false;
  for (int i = 2; i < argc; ++i) {
    std::string o = argv[i];
    unsigned long* value = o == "--latency-ms"       ? &latency
                           : o == "--jitter-ms"      ? &jitter
                           : o == "--unreachable-ms" ? &unreachable
                                                     : nullptr;
    if (!value || i + 1 >= argc || !ParseUnsigned(argv[++i], kMaxMs, *value))
      return Usage(("bad option or value: " + o).c_str());
    hasLatency |= value == &latency;
    hasUnreachable |= value == &unreachable;
  }
  if (!hasLatency && !hasUnreachable) return Usage("network needs --latency-ms L or --unreachable-ms T");
  if (jitter > latency) return Usage("the jitter is at most the latency");
  if (!hasUnreachable) unreachable = latency;
  if (LONG rc = kvlab::SetNetwork(latency, jitter, unreachable)) return Failed("network", rc);
  PrintNetwork(kvlab::ReadNetwork());
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage(nullptr);
  std::string cmd = argv[1];
  auto needsLab = [] {
    if (kvlab::LabExists()) return true;
    std::fprintf(stderr, "kvlab: no lab in %s: run kvlab init\n", kvlab::LabRoot().c_str());
    return false;
  };
  if (cmd == "init") {
    if (argc != 2) return Usage("init takes no arguments");
    if (LONG rc = kvlab::BuildDefaultLab(stdout)) return Failed("init", rc);
    return 0;
  }
  if (cmd == "destroy") {
    kvlab::StopLocalService();
    if (LONG rc = kvlab::DestroyLab()) return Failed("destroy", rc);
    std::printf("lab removed\n");
    return 0;
  }
  if (cmd == "busy") return Busy(argc, argv);
  if (!needsLab()) return 1;
  if (cmd == "show" && argc == 2) return kvlab::Show(stdout), 0;
  if (cmd == "audit" && argc == 2) return kvlab::Audit(stdout) ? 1 : 0;
  if (cmd == "add") return Add(argc, argv);
  if (cmd == "remove" && argc == 3) {
    std::string m = Known(argv[2]);
    if (m.empty()) return 1;
    if (kvlab::IsLocalName(m)) return Usage("the local machine cannot be removed");
    if (LONG rc = kvlab::RemoveMachine(m)) return Failed("remove", rc);
    std::printf("removed %s\n", m.c_str());
    return 0;
  }
  if (cmd == "accounts") return Accounts(argc, argv);
  if (cmd == "trust" && argc == 4 && (!std::strcmp(argv[3], "on") || !std::strcmp(argv[3], "off"))) {
    std::string m = Known(argv[2]);
    if (m.empty()) return 1;
    if (LONG rc = kvlab::SetTrust(m, !std::strcmp(argv[3], "on"))) return Failed("trust", rc);
    std::printf("%s: trust %s\n", m.c_str(), argv[3]);
    return 0;
  }
  if ((cmd == "offline" || cmd == "online") && argc == 3) {
    std::string m = Known(argv[2]);
    if (m.empty()) return 1;
    if (LONG rc = kvlab::SetOnline(m, cmd == "online")) return Failed(cmd.c_str(), rc);
    std::printf("%s: %s\n", m.c_str(), cmd.c_str());
    return 0;
  }
  if (cmd == "set-role") return SetRole(argc, argv);
  if (cmd == "service") return Service(argc, argv);
  if (cmd == "fault") return Fault(argc, argv);
  if (cmd == "network") return Network(argc, argv);
  if (cmd == "scale" && (argc == 3 || (argc == 5 && std::strcmp(argv[3], "--group") == 0))) {
    unsigned long n = 0, group = 0;
    if (!ParseUnsigned(argv[2], 8000, n) || n == 0) return Usage("scale N: 1 to 8000");
    if (argc == 5 && !ParseUnsigned(argv[4], n, group)) return Usage("scale N --group G: G from 0 to N");
    DWORD start = ::GetTickCount();
    if (LONG rc = kvlab::Scale(static_cast<unsigned>(n), stdout,
                               argc == 5 ? static_cast<int>(group) : kvlab::kScaleKeepRoles))
      return Failed("scale", rc);
    std::printf("scale: %lu servers in %.1f s\n", n, (::GetTickCount() - start) / 1000.0);
    return 0;
  }
  return Usage(("unknown command or wrong arguments: " + cmd).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kvlab: %s\n", e.what());
    return 1;
  }
}

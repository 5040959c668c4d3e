#include "RolesFile.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "ServerTable.h"

namespace {

constexpr int kVersion = 1;

// Where a problem is, for the message: "primaries.OSPREY[1]".
std::string At(const std::string& key, size_t index) { return key + "[" + std::to_string(index) + "]"; }

bool Fail(std::string& problem, const std::string& place, const std::string& what) {
  problem = place + ": " + what;
  return false;
}

}  // namespace

std::string AnsiToUtf8(const std::string& text) {
  if (text.empty()) return text;
  int wide = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(wide > 0 ? wide : 0), L'\0');
  if (wide > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), w.data(), wide);
  int bytes = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

bool Utf8ToAnsi(const std::string& text, std::string& out) {
  out.clear();
  if (text.empty()) return true;
  const int n = static_cast<int>(text.size());
  int wide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, nullptr, 0);
  if (wide <= 0) return false;
  std::wstring w(static_cast<size_t>(wide), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), n, w.data(), wide);
  BOOL lost = FALSE;
  int bytes = ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wide, nullptr, 0, nullptr, &lost);
  if (bytes <= 0 || lost) return false;
  out.assign(static_cast<size_t>(bytes), '\0');
  ::WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), wide, out.data(), bytes, nullptr, &lost);
  return !lost;
}

std::string RolesFileText(const RolesFile& file) {
  using Json = nlohmann::ordered_json;
  Json out;
  out["version"] = kVersion;
  out["primaries"] = Json::object();
  for (const auto& [primary, members] : file.primaries) {
    Json list = Json::array();
    for (const std::string& m : members) list.push_back(AnsiToUtf8(m));
    out["primaries"][AnsiToUtf8(primary)] = list;
  }
  out["notRead"] = Json::array();
  for (const std::string& s : file.notRead) out["notRead"].push_back(AnsiToUtf8(s));
  return out.dump(2) + "\n";
}

bool ParseRolesFileText(const std::string& text, const std::vector<std::string>& tableNames, RolesFile& out,
                        std::string& problem) {
  using Json = nlohmann::json;
  out = RolesFile{};
  // The library keeps the last of two equal keys: a key given twice is
  // caught while parsing.
  std::vector<std::set<std::string>> keys;
  std::string topKey, twice;
  auto watch = [&](int depth, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && parsed.is_string() && !keys.empty()) {
      const std::string key = parsed.get<std::string>();
      if (depth == 1) topKey = key;
      if (!keys.back().insert(key).second && twice.empty())
        twice = depth == 1 ? key + ": given twice" : topKey + ": " + key + " is named twice";
    }
    return true;
  };
  Json json;
  try {
    json = Json::parse(text, watch);
  } catch (const Json::parse_error& e) {
    std::string what = e.what();
    const size_t at = what.find("at line ");
    problem = "not well-formed JSON " + (at != std::string::npos ? what.substr(at) : what);
    return false;
  }
  if (!twice.empty()) return Fail(problem, twice.substr(0, twice.find(':')), twice.substr(twice.find(':') + 2));
  if (!json.is_object()) return Fail(problem, "the top level", "not an object");
  for (const auto& [key, value] : json.items())
    if (key != "version" && key != "primaries" && key != "notRead")
      return Fail(problem, key, "not a key of a roles file (version, primaries, notRead)");
  if (!json.contains("version")) return Fail(problem, "version", "missing");
  if (json["version"] != kVersion)
    return Fail(problem, "version", json["version"].dump() + " is not a version this kvroles reads (1)");
  if (!json.contains("primaries") || !json["primaries"].is_object())
    return Fail(problem, "primaries", "missing, or not an object of primaries and their distributed servers");
  if (json.contains("notRead") && !json["notRead"].is_array())
    return Fail(problem, "notRead", "not an array of server names");

  std::map<std::string, std::string> placeOf;  // each name and where it was first given
  std::set<std::string> table(tableNames.begin(), tableNames.end());
  auto take = [&](const Json& value, const std::string& place, bool inTable, std::string& name) {
    if (!value.is_string()) return Fail(problem, place, value.dump() + " is not a server name");
    if (!Utf8ToAnsi(value.get<std::string>(), name) || !ValidServerName(name))
      return Fail(problem, place, value.dump() + " is not a server name");
    auto [it, first] = placeOf.emplace(name, place);
    if (!first) return Fail(problem, place, name + " is named twice (also at " + it->second + ")");
    if (inTable && !table.count(name)) return Fail(problem, place, name + " is not in the local discovery table");
    return true;
  };
  // Every primary first, so that a primary listed as a member is named so.
  for (const auto& [key, members] : json["primaries"].items()) {
    std::string primary;
    if (!take(Json(key), "primaries." + key, true, primary)) return false;
    out.primaries[primary];
  }
  for (const auto& [key, members] : json["primaries"].items()) {
    const std::string place = "primaries." + key;
    if (!members.is_array()) return Fail(problem, place, "not an array of distributed servers");
    std::string primary;
    Utf8ToAnsi(key, primary);
    for (size_t i = 0; i < members.size(); ++i) {
      std::string member;
      if (members[i].is_string() && Utf8ToAnsi(members[i].get<std::string>(), member) && out.primaries.count(member))
        return Fail(problem, At(place, i),
                    member == primary ? member + " cannot be a distributed server of itself"
                                      : member + " is a primary (primaries." + members[i].get<std::string>() +
                                            ") and cannot be a distributed server of " + primary);
      if (!take(members[i], At(place, i), true, member)) return false;
      out.primaries[primary].push_back(member);
    }
    std::sort(out.primaries[primary].begin(), out.primaries[primary].end());
  }
  if (json.contains("notRead")) {
    const Json& notRead = json["notRead"];
    for (size_t i = 0; i < notRead.size(); ++i) {
      std::string name;
      if (!take(notRead[i], At("notRead", i), false, name)) return false;
      out.notRead.push_back(name);
    }
  }
  std::sort(out.notRead.begin(), out.notRead.end());
  return true;
}

SanRoles RolesFromReads(const std::vector<ServerReading>& reads) {
  std::map<std::string, const ServerReading*> byName;
  for (const ServerReading& r : reads) byName[r.server] = &r;
  // The primary a reading's record names; empty without a (whole) record.
  auto primaryOf = [](const ServerReading& r) { return r.hasRecord ? PrimaryOf(r.record) : std::string(); };
  SanRoles san;
  for (const ServerReading& r : reads) {
    const std::string localPrimary = r.hasLocal ? PrimaryOf(r.local) : std::string();
    if (r.localDamage.empty())
      san.shownLocally[r.server] = localPrimary.empty()       ? CurrentRole{}
                                   : localPrimary == r.server ? CurrentRole{CurrentRole::Primary, r.server}
                                                              : CurrentRole{CurrentRole::Distributed, localPrimary};
    const std::string primary = primaryOf(r);
    if (!r.read) {
      san.unknown[r.server] = "it could not be read: " + r.reason;
    } else if (!r.damage.empty()) {
      san.unknown[r.server] = "its role record is damaged (force-remove clears it)";
    } else if (primary == r.server) {
      san.roles[r.server] = {CurrentRole::Primary, r.server};
    } else if (!primary.empty()) {
      auto it = byName.find(primary);
      const ServerReading* p = it == byName.end() ? nullptr : it->second;
      const std::string itsPrimary = p ? primaryOf(*p) : std::string();
      if (!p || !p->read || !p->damage.empty())
        san.unknown[r.server] = "its record names " + primary + ", which could not be read";
      else if (itsPrimary == primary)
        san.roles[r.server] = {CurrentRole::Distributed, primary};
      else if (itsPrimary.empty())
        san.roles[r.server] = {CurrentRole::NamesNoRecord, primary};
      else
        san.unknown[r.server] = "its record names " + primary + ", which is not a primary (its record names " +
                                itsPrimary + "; force-remove clears it)";
    }
  }
  // Only where the role is not known is the local table's view of use.
  for (auto it = san.shownLocally.begin(); it != san.shownLocally.end();)
    it = san.unknown.count(it->first) ? std::next(it) : san.shownLocally.erase(it);
  return san;
}

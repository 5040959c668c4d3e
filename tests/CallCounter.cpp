#include "CallCounter.h"

#include <cstring>
#include <iterator>
#include <mutex>

namespace kvtest {

namespace {

std::mutex g_lock;
std::map<std::string, int> g_counts;

void Count(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_lock);
  ++g_counts[name];
}

// The real functions, as the first patched import entry held them: the
// stand-ins call these (a call by name from this file would go through an
// import entry that may itself be patched).
using OpenKeyFn = LONG(WINAPI*)(HKEY, LPCSTR, DWORD, REGSAM, PHKEY);
using QueryValueFn = LONG(WINAPI*)(HKEY, LPCSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
using CloseKeyFn = LONG(WINAPI*)(HKEY);
using NotifyFn = LONG(WINAPI*)(HKEY, BOOL, DWORD, HANDLE, BOOL);
using EnumKeyFn = LONG(WINAPI*)(HKEY, DWORD, LPSTR, LPDWORD, LPDWORD, LPSTR, LPDWORD, PFILETIME);
void* g_real[5] = {};

template <class Fn>
Fn Real(int index) {
  return reinterpret_cast<Fn>(g_real[index]);
}

LONG WINAPI OpenKey(HKEY key, LPCSTR sub, DWORD options, REGSAM sam, PHKEY out) {
  Count("RegOpenKeyExA");
  return Real<OpenKeyFn>(0)(key, sub, options, sam, out);
}
LONG WINAPI QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  Count(std::string("RegQueryValueExA ") + (name ? name : ""));
  return Real<QueryValueFn>(1)(key, name, reserved, type, data, size);
}
LONG WINAPI CloseKey(HKEY key) {
  Count("RegCloseKey");
  return Real<CloseKeyFn>(2)(key);
}
LONG WINAPI Notify(HKEY key, BOOL subtree, DWORD filter, HANDLE event, BOOL async) {
  Count("RegNotifyChangeKeyValue");
  return Real<NotifyFn>(3)(key, subtree, filter, event, async);
}
LONG WINAPI EnumKey(HKEY key, DWORD index, LPSTR name, LPDWORD length, LPDWORD reserved, LPSTR cls, LPDWORD clsLength,
                    PFILETIME time) {
  Count("RegEnumKeyExA");
  return Real<EnumKeyFn>(4)(key, index, name, length, reserved, cls, clsLength, time);
}

struct StandIn {
  const char* name;
  void* function;
};
// In the order of g_real.
const StandIn kStandIns[] = {
    {"RegOpenKeyExA", reinterpret_cast<void*>(&OpenKey)}, {"RegQueryValueExA", reinterpret_cast<void*>(&QueryValue)},
    {"RegCloseKey", reinterpret_cast<void*>(&CloseKey)},  {"RegNotifyChangeKeyValue", reinterpret_cast<void*>(&Notify)},
    {"RegEnumKeyExA", reinterpret_cast<void*>(&EnumKey)},
};

template <class T>
T* At(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

}  // namespace

CRegistryCallCounter::CRegistryCallCounter(const std::vector<const char*>& modules) {
  for (const char* name : modules) {
    HMODULE module = ::GetModuleHandleA(name);
    if (!module) continue;
    auto* nt = At<IMAGE_NT_HEADERS>(module, static_cast<DWORD>(At<IMAGE_DOS_HEADER>(module, 0)->e_lfanew));
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress) continue;
    for (auto* import = At<IMAGE_IMPORT_DESCRIPTOR>(module, dir.VirtualAddress); import->Name; ++import) {
      if (!import->OriginalFirstThunk) continue;
      auto* names = At<IMAGE_THUNK_DATA>(module, import->OriginalFirstThunk);
      auto* slots = At<IMAGE_THUNK_DATA>(module, import->FirstThunk);
      for (; names->u1.AddressOfData; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const char* function = reinterpret_cast<const char*>(
            At<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData))->Name);
        for (size_t i = 0; i < std::size(kStandIns); ++i) {
          if (std::strcmp(function, kStandIns[i].name) != 0) continue;
          void** slot = reinterpret_cast<void**>(&slots->u1.Function);
          if (*slot == kStandIns[i].function) continue;  // already counted
          DWORD old = 0;
          if (!::VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) continue;
          if (!g_real[i]) g_real[i] = *slot;
          m_patched.push_back({slot, *slot});
          *slot = kStandIns[i].function;
          ::VirtualProtect(slot, sizeof(void*), old, &old);
        }
      }
    }
  }
  Reset();
}

CRegistryCallCounter::~CRegistryCallCounter() {
  for (const Patch& p : m_patched) {
    DWORD old = 0;
    if (!::VirtualProtect(p.slot, sizeof(void*), PAGE_READWRITE, &old)) continue;
    *p.slot = p.original;
    ::VirtualProtect(p.slot, sizeof(void*), old, &old);
  }
}

std::map<std::string, int> CRegistryCallCounter::Counts() const {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_counts;
}

int CRegistryCallCounter::Total() const {
  int total = 0;
  for (const auto& [name, n] : Counts()) total += n;
  return total;
}

void CRegistryCallCounter::Reset() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_counts.clear();
}

}  // namespace kvtest

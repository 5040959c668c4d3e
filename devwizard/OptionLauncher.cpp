// Next on the Options page: loads the selected option's plug-in library,
// runs its configuration wizard and goes to the page that it names.
//
// Plug-in contract: the library is found by the system's library search
// under its file name and exports its entry points by name; both take no
// arguments and run synchronously on the wizard's thread. The init entry is
// optional and its result ignored; the wizard entry's result is the Next
// result (0 or 1000: the Complete page; -1 or 1001: stay on the options). A
// plug-in that changed the configuration sends WM_GEARWISE_CHANGED to the
// window of class "Device Configuration". Libraries stay loaded until the
// wizard closes.
#include "App.h"
#include "GearwiseApp.h"
#include "GearwisePages.h"
#include "MessageBox.h"
#include "Strings.h"
#include "resource.h"

namespace {

using PluginEntry = int (*)();

// Slots in the option order.
enum Slot {
  kTapeLibrary = 0,
  kRemovableDrive = 1,
  kRaidDevice = 2,
  kNetworkedLibrary = 3,
  kVirtualLibrary = 4,
  kRsm = 5
};

constexpr LRESULT kCompletePage = IDD_COMPLETE_PAGE;  // 1000
constexpr LRESULT kOptionsPage = IDD_OPTIONS_PAGE;    // 1001

LRESULT CallEntry(HMODULE module, const char* name, LRESULT absent) {
  PluginEntry entry = kv::GetProc<PluginEntry>(module, name);
  return entry ? static_cast<LRESULT>(entry()) : absent;
}

void CallInit(HMODULE module, const char* name) {
  if (PluginEntry init = kv::GetProc<PluginEntry>(module, name)) init();
}

}  // namespace

HMODULE COptionsPage::LoadPlugin(int slot, const char* fileName, UINT nameId) {
  if (m_plugins[slot]) return m_plugins[slot].Get();
  m_plugins[slot].Reset(::LoadLibraryA(fileName));
  if (m_plugins[slot]) return m_plugins[slot].Get();
  if (::GetLastError() != 0) {
    // "%1 is not installed!"
    std::string text = kv::LoadStr(IDS_OPTION_NOT_INSTALLED);
    size_t at = text.find("%1");
    if (at != std::string::npos) text.replace(at, 2, kv::LoadStr(nameId));
    kv::AppMessageBox(text, MB_ICONEXCLAMATION);
  }
  return nullptr;
}

LRESULT COptionsPage::LaunchOption() {
  kv::CWaitCursor wait;
  switch (GetSelectedOption()) {
    case IDC_OPTION_TAPE_LIBRARY:
      return LaunchTapeLibrary();
    case IDC_OPTION_REMOVABLE_DRIVE:
      return LaunchRemovableDrive();
    case IDC_OPTION_RAID_DEVICE:
      return LaunchRaidDevice();
    case IDC_OPTION_VIRTUAL_LIBRARY:
      return LaunchVirtualLibrary();
    case IDC_OPTION_RSM_DEVICES:
      return LaunchRsmDevices();
    case IDC_OPTION_NETWORKED_LIBRARY:
      return kCompletePage;  // nothing to launch
    default:
      return kOptionsPage;
  }
}

LRESULT COptionsPage::LaunchTapeLibrary() {
  HMODULE module = LoadPlugin(kTapeLibrary, "Chaplet.DLL", IDS_NAME_TAPE_LIBRARY);
  if (!module) return kOptionsPage;
  if (!PrepareTapeEngine(*this)) return kCompletePage;
  CallInit(module, "TLOConfigInit");
  return CallEntry(module, "TLOConfigWizard", kCompletePage);
}

LRESULT COptionsPage::LaunchRemovableDrive() {
  // Removable drives do not need the tape engine stopped.
  HMODULE module = LoadPlugin(kRemovableDrive, "Remora.DLL", IDS_NAME_REMOVABLE_LIBRARY);
  if (!module) return kOptionsPage;
  return CallEntry(module, "RmDriveConfigWizard", kCompletePage);
}

LRESULT COptionsPage::LaunchRaidDevice() {
  HMODULE module = LoadPlugin(kRaidDevice, "Raidwell.DLL", IDS_NAME_RAID_DEVICE);
  if (!module) return kOptionsPage;
  if (!PrepareTapeEngine(*this)) return kCompletePage;
  CallInit(module, "RaidConfigInit");
  return CallEntry(module, "RaidConfigWizard", kCompletePage);
}

LRESULT COptionsPage::LaunchVirtualLibrary() {
  bool wasLoaded = static_cast<bool>(m_plugins[kVirtualLibrary]);
  HMODULE module = LoadPlugin(kVirtualLibrary, "Vellum.DLL", IDS_NAME_TAPE_LIBRARY);
  if (!module) return kOptionsPage;
  // The first launch that goes no further stays on the options.
  LRESULT fallback = wasLoaded ? kCompletePage : kOptionsPage;
  if (!PrepareTapeEngine(*this)) return fallback;
  return CallEntry(module, "VirtualLibWizard", fallback);
}

LRESULT COptionsPage::LaunchRsmDevices() {
  if (!IsWindowsNt5()) return kCompletePage;
  HMODULE module = LoadPlugin(kRsm, "Ntmsgate.DLL", IDS_NAME_TAPE_LIBRARY);
  if (!module) return kOptionsPage;
  if (!PrepareTapeEngine(*this)) return kCompletePage;
  return CallEntry(module, "LaunchNTMSWizard", kCompletePage);
}

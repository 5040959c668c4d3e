// An option plug-in built for the wizard's tests, under each of the five
// plug-in file names. What it does is read from the process environment at
// every call, and what happened is appended to KV_PLUGIN_LOG:
//   KV_PLUGIN_RESULT  the wizard entry's result (default 1000)
//   KV_PLUGIN_CHANGE  "1": report a change to the window of class
//                     "Device Configuration" ("<name>.changed", or
//                     "<name>.nosheet" when no such window exists)
// Log entries: <name>.attach, <name>.init, <name>.wizard, <name>.detach, and
// <name>.locked when "KestravaIsRunning" exists during the wizard entry.
// KV_PLUGIN_STATUS gets the text of the Options page's status line when it
// is visible during the wizard entry (empty otherwise).
// Built with KV_NO_ENTRIES it exports its entries only under names that
// differ from the real ones in letter case (the wizard must find entries by
// their exact names, never by case or ordinal), with KV_NO_INIT no init entry.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>

namespace {
HINSTANCE g_module = nullptr;

std::string Name() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(g_module, path, MAX_PATH);
  std::string name = path;
  name.erase(0, name.find_last_of('\\') + 1);
  return name.substr(0, name.find('.'));
}

std::string Env(const char* name) {
  char value[256] = {};
  DWORD n = ::GetEnvironmentVariableA(name, value, sizeof(value));
  return n && n < sizeof(value) ? std::string(value, n) : std::string();
}

void Log(const char* what) {
  std::string log = Env("KV_PLUGIN_LOG") + Name() + "." + what + ";";
  ::SetEnvironmentVariableA("KV_PLUGIN_LOG", log.c_str());
}

[[maybe_unused]] int Init() {
  Log("init");
  return 12345;  // ignored by the wizard
}

[[maybe_unused]] int Wizard() {
  Log("wizard");
  std::string status;
  HWND sheet = ::FindWindowA("Device Configuration", nullptr);
  if (sheet) {
    HWND page = reinterpret_cast<HWND>(::SendMessageA(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    HWND line = page ? ::GetDlgItem(page, 1005) : nullptr;
    if (line && ::IsWindowVisible(line) && ::IsWindowVisible(::GetDlgItem(page, 1004))) {
      char text[256] = {};
      ::GetWindowTextA(line, text, sizeof(text));
      status = text;
    }
  }
  ::SetEnvironmentVariableA("KV_PLUGIN_STATUS", status.c_str());
  // The wizard holds "KestravaIsRunning" only while it stops the engine.
  if (HANDLE lock = ::OpenMutexA(SYNCHRONIZE, FALSE, "KestravaIsRunning")) {
    ::CloseHandle(lock);
    Log("locked");
  }
  if (Env("KV_PLUGIN_CHANGE") == "1") {
    if (sheet) {
      ::SendMessageA(sheet, WM_USER + 600, 0, 0);
      Log("changed");
    } else {
      Log("nosheet");
    }
  }
  std::string result = Env("KV_PLUGIN_RESULT");
  return result.empty() ? 1000 : std::atoi(result.c_str());
}
}  // namespace

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = module;
    Log("attach");
  } else if (reason == DLL_PROCESS_DETACH) {
    Log("detach");
  }
  return TRUE;
}

#define KV_WIZARD_ENTRY(name) \
  extern "C" __declspec(dllexport) int name() { return Wizard(); }
#define KV_INIT_ENTRY(name) \
  extern "C" __declspec(dllexport) int name() { return Init(); }

#ifndef KV_NO_ENTRIES
KV_WIZARD_ENTRY(TLOConfigWizard)
KV_WIZARD_ENTRY(RmDriveConfigWizard)
KV_WIZARD_ENTRY(RaidConfigWizard)
KV_WIZARD_ENTRY(VirtualLibWizard)
KV_WIZARD_ENTRY(LaunchNTMSWizard)
#ifndef KV_NO_INIT
KV_INIT_ENTRY(TLOConfigInit)
KV_INIT_ENTRY(RaidConfigInit)
#endif
#else
KV_WIZARD_ENTRY(tloconfigwizard)
KV_WIZARD_ENTRY(rmdriveconfigwizard)
KV_WIZARD_ENTRY(raidconfigwizard)
KV_WIZARD_ENTRY(virtuallibwizard)
KV_WIZARD_ENTRY(launchntmswizard)
KV_INIT_ENTRY(tloconfiginit)
KV_INIT_ENTRY(raidconfiginit)
#endif

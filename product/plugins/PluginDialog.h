// The configuration dialog that every option plug-in shows: a few device
// settings as check boxes, kept in the registry of the machine under
// HKLM\SOFTWARE\KestravaNet\Devices\<plug-in>. The administrator applies a
// change, closes without one, or goes back to the wizard's options. Nothing
// is written but by Apply: a setting that is missing or damaged (not a
// DWORD) is shown as its default and left as it is until then.
#pragma once

#include <windows.h>

#include <cstddef>

#include "PluginIds.h"

namespace kvplugin {

// Window message that tells the Device Configuration wizard that the device
// configuration changed; sent to the window of class "Device Configuration".
inline constexpr UINT kConfigurationChanged = WM_USER + 600;  // 0x658
inline constexpr char kWizardClass[] = "Device Configuration";

// Results the wizard understands: its Complete page, or stay on its options.
inline constexpr int kGoToComplete = 1000;
inline constexpr int kBackToOptions = 1001;

struct Setting {
  int controlId;          // check box in the plug-in's dialog
  const char* valueName;  // DWORD value, 0 or 1
  DWORD initial;          // shown while the value is missing or damaged
};

struct Plugin {
  const char* keyName;  // below HKLM\SOFTWARE\KestravaNet\Devices
  const Setting* settings;
  size_t count;
};

// Shows the plug-in's dialog IDD_PLUGIN_CONFIG from module, owned by the
// wizard's window when there is one. Apply stores the settings that are not
// stored as shown and, when it stored any, reports the change to the wizard; returns kGoToComplete
// after Apply or Close and kBackToOptions after Back.
int RunConfiguration(HINSTANCE module, const Plugin& plugin);

// Reports a configuration change to the running wizard (no-op without one).
void ReportChange();

}  // namespace kvplugin

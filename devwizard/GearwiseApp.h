// The application object of Gearwise: one wizard per machine, run modally.
#pragma once

#include <windows.h>

#include "App.h"
#include "Handles.h"

class COptionsPage;

inline constexpr char kSingleInstanceMutex[] = "KestravaDeviceConfigurationMutex";
inline constexpr char kActivityMutex[] = "KestravaIsRunning";

class CGearwiseApp : public kv::CWinApp {
 public:
  // Always FALSE: the program ends when the wizard closes.
  BOOL InitInstance() override;
  // Gives up the single-instance mutex.
  int ExitInstance() override;

  // TRUE when this process now holds the single-instance mutex; otherwise
  // brings the running wizard forward (or says that one runs) and FALSE.
  BOOL CheckSingleInstance();
  // Runs the wizard sheet modally.
  int RunWizard();

  bool HoldsSingleInstance() const { return static_cast<bool>(m_instanceMutex); }

 private:
  kv::CHandle m_instanceMutex;
};

// Creates "KestravaIsRunning" for the time of a device change. Null means
// the caller must not go on: another product activity holds the name
// (message 116 shown) or the mutex could not be made (no message).
kv::CHandle AcquireActivityLock();

// Before an option's plug-in runs: checks for other product activity, asks
// whether a running tape engine may be stopped, shows the progress on the
// Options page and stops the engine. FALSE: the plug-in must not run.
BOOL PrepareTapeEngine(COptionsPage& page);

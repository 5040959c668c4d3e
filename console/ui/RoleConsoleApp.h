// The console's application object: one copy per machine, the two registry
// roots, then the main dialog, run modally; the process ends when it closes.
#pragma once

#include "App.h"
#include "Handles.h"

class CRoleConsoleApp : public kv::CWinApp {
 public:
  // Always FALSE: the program never runs a message loop of its own.
  BOOL InitInstance() override;

 private:
  // "QuaysideMutex": held, never closed, until the process ends.
  kv::CHandle m_instanceMutex;
};

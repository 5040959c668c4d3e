// The console's application object: one copy per machine, then the main
// dialog, run modally; the process ends when it closes.
#pragma once

#include "App.h"

class CRoleConsoleApp : public kv::CWinApp {
 public:
  BOOL InitInstance() override;
};

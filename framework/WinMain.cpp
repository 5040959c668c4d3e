// Entry point of the GUI programs: hands over to the global application object.
#include "App.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  kv::CWinApp* app = kv::CWinApp::Current();
  if (!app) return 1;
  return app->Run(instance, commandLine, showCommand);
}

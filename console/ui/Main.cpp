// Quayside, the SAN Option Configuration console: its one application object.
#include "RoleConsoleApp.h"

CRoleConsoleApp theApp;

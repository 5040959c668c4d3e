// The one application object of Gearwise.exe.
#include "GearwiseApp.h"

CGearwiseApp theApp;

// The lab's fault switch: the Nth remote call from the moment it is set
// fails with a chosen status, or ends the process that makes it, as a
// network that fails half way through a change or a crash would. It lives
// in the lab (values at the lab root), so a test or a person sets it with
// `kvlab fault` and every process of the host meets it:
//
//   <lab>  "FaultAfter"   the call that fails, counted from 1 (absent: no fault)
//          "FaultStatus"  the status it fails with (53 by default)
//          "FaultKill"    1: the call ends its process instead (exit code: the status)
//          "FaultCalls"   calls counted since the switch was set
//
// What counts: every call of the seam that reaches a lab machine or a name
// the lab does not know (connections, the remote registry, the service
// manager and each call on its handles). Calls to the local machine do not
// count (they never cross the network, and the console's own record is read
// there when it closes), nor do WNetCancelConnection2A and CloseServiceHandle,
// which release what this machine holds and succeed without the network on
// Windows too. The fault fires once, at call N; the count goes on until the
// switch is cleared.
//
// With no switch set, a counted call reads one word of shared memory; the
// count itself is kept in the registry under a named mutex, so processes
// that come and go add to one count.
#pragma once

#include <windows.h>

namespace kvlab {

struct FaultSwitch {
  bool set = false;
  DWORD after = 0;
  DWORD status = ERROR_BAD_NETPATH;
  bool kill = false;
  DWORD calls = 0;  // counted since it was set
  bool Hit() const { return set && calls >= after; }
};

// Sets the switch for the lab of this process (count back to 0). after >= 1.
LONG SetFault(DWORD after, DWORD status = ERROR_BAD_NETPATH, bool kill = false);
LONG ClearFault();
FaultSwitch ReadFault();

// For the seam: counts one remote call and returns the status it must fail
// with, or 0 to go on. A kill switch ends the process here.
DWORD CountRemoteCall();

}  // namespace kvlab

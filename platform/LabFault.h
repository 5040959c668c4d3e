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
// The lab's network, beside it: every such call waits as a round trip over
// a network would, and a call to a machine that is offline (or a name the
// lab does not know) fails only after the time-out Windows would wait for:
//
//   <lab>  "NetLatencyMs"      the round trip (absent: no network set)
//          "NetJitterMs"       up to this much more or less, at random (<= latency)
//          "NetUnreachableMs"  the wait before a call to an offline machine fails
//
// The calls' results stay exactly what they are without it; only the time
// they take changes. The wait is taken outside every lock, so calls of
// several threads or processes overlap as they would on a network.
//
// With neither set, a call of the seam reads one word of shared memory; the
// fault's count is kept in the registry under a named mutex, so processes
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

struct NetworkSetting {
  bool set = false;
  DWORD latencyMs = 0;
  DWORD jitterMs = 0;
  DWORD unreachableMs = 0;
};

// Sets the network for the lab of this process. jitter <= latency.
LONG SetNetwork(DWORD latencyMs, DWORD jitterMs, DWORD unreachableMs);
LONG ClearNetwork();
NetworkSetting ReadNetwork();

// For the seam, before a call that crosses the network: counts it for the
// fault switch and waits as the network would (the time-out when the
// machine is offline). Returns the status the call must fail with, or 0 to
// go on. A kill switch ends the process here, before the wait.
DWORD RemoteCall(bool offline);

}  // namespace kvlab

// The tape engine service (TAPESVC.EXE) installed for real, and the wizard's
// CServiceControl stopping it through the Service Control Manager.
#include <gtest/gtest.h>
#include <windows.h>
#include <winsvc.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "ServiceControl.h"
#include "wizard_support.h"

namespace {

using wiztest::ServiceState;
using wiztest::TapeEngine;

CServiceControl Control(const char* name) { return CServiceControl(name, "", "TAPESVC.EXE", 0x110, ""); }

kv::CServiceHandle OpenService(const char* name, DWORD access) {
  static kv::CServiceHandle scm(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
  return kv::CServiceHandle(::OpenServiceA(scm.Get(), name, access));
}

TEST(TapeEngineService, InstallsWithItsDisplayNameGroupAndTypeAndUninstalls) {
  {
    TapeEngine engine;
    ASSERT_TRUE(engine.Installed());
    EXPECT_EQ(wiztest::RunTapeService("-install"), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    kv::CServiceHandle service = OpenService("KVTapeEngine", SERVICE_QUERY_CONFIG);
    ASSERT_TRUE(service);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigA(service.Get(), reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()),
                                      static_cast<DWORD>(buffer.size()), &needed));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    EXPECT_STREQ(config->lpDisplayName, "KestravaNet Tape Engine");
    EXPECT_STREQ(config->lpLoadOrderGroup, "KestravaNet");
    EXPECT_EQ(config->dwServiceType, 0x110u);
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_NE(std::string(config->lpBinaryPathName).find("TAPESVC.EXE"), std::string::npos);
    EXPECT_TRUE(engine.Start());
    EXPECT_EQ(ServiceState("KVTapeEngine"), static_cast<DWORD>(SERVICE_RUNNING));
  }
  // Removed at the end, although it was running.
  EXPECT_FALSE(OpenService("KVTapeEngine", SERVICE_QUERY_STATUS));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
  EXPECT_EQ(wiztest::RunTapeService("-uninstall"), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ServiceControl, TapeEngineDescriptorAndDefaults) {
  CServiceControl engine = CServiceControl::TapeEngine();
  EXPECT_EQ(engine.ServiceName(), "KVTapeEngine");
  EXPECT_EQ(engine.DisplayName(), "KestravaNet Tape Engine");
  EXPECT_EQ(engine.FileName(), "TAPESVC.EXE");
  EXPECT_EQ(engine.ServiceType(), 0x110u);
  EXPECT_EQ(engine.GroupName(), "KestravaNet");
  CServiceControl bare = Control("Other");
  EXPECT_EQ(bare.DisplayName(), "Other");
  EXPECT_EQ(bare.GroupName(), "");
}

TEST(ServiceControl, StopFollowsAdvancingCheckpointsUntilTheServiceHasStopped) {
  TapeEngine engine("KVTapeEngineTest");
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start({"-stop-steps=5", "-step-ms=120", "-hint-ms=200"}));
  CServiceControl control = Control(engine.Name());
  EXPECT_TRUE(control.IsActive());
  EXPECT_TRUE(control.Stop(TRUE));
  EXPECT_EQ(ServiceState(engine.Name()), static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_FALSE(control.IsActive());
  EXPECT_TRUE(control.Stop(TRUE));  // already stopped
}

TEST(ServiceControl, StopWithoutWaitReturnsWhileTheStopIsPending) {
  TapeEngine engine("KVTapeEngineTest");
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start({"-stop-steps=4", "-step-ms=500", "-hint-ms=800"}));
  CServiceControl control = Control(engine.Name());
  EXPECT_FALSE(control.Stop(FALSE));
  EXPECT_EQ(ServiceState(engine.Name()), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(wiztest::WaitForState(engine.Name(), SERVICE_STOPPED));
}

TEST(ServiceControl, ZeroWaitHintWithoutCheckpointProgressEndsAfterOnePoll) {
  TapeEngine engine("KVTapeEngineTest");
  ASSERT_TRUE(engine.Installed());
  // Checkpoint 1 and wait hint 0 for four seconds, then stopped.
  ASSERT_TRUE(engine.Start({"-stall-ms=4000"}));
  CServiceControl control = Control(engine.Name());
  EXPECT_FALSE(control.Stop(TRUE));
  // Still stopping: the wait did not follow the service to its end.
  EXPECT_EQ(ServiceState(engine.Name()), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(wiztest::WaitForState(engine.Name(), SERVICE_STOPPED));
}

TEST(ServiceControl, StopAlreadyPendingCountsAsActiveAndReturnsAtOnce) {
  TapeEngine engine("KVTapeEngineTest");
  ASSERT_TRUE(engine.Installed());
  ASSERT_TRUE(engine.Start({"-stall-ms=4000"}));
  kv::CServiceHandle service = OpenService(engine.Name(), SERVICE_ALL_ACCESS);
  ASSERT_TRUE(service);
  SERVICE_STATUS status{};
  ASSERT_TRUE(::ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
  ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
  CServiceControl control = Control(engine.Name());
  EXPECT_TRUE(control.IsActive());
  EXPECT_TRUE(CServiceControl::StopAndWait(service.Get(), TRUE));
  EXPECT_EQ(ServiceState(engine.Name()), static_cast<DWORD>(SERVICE_STOP_PENDING));
  EXPECT_TRUE(wiztest::WaitForState(engine.Name(), SERVICE_STOPPED));
}

TEST(ServiceControl, ServiceThatIsNotInstalledIsNotActiveAndCountsAsStopped) {
  CServiceControl control = Control("KVNoSuchService");
  EXPECT_FALSE(control.IsActive());
  EXPECT_TRUE(control.Stop(TRUE));
}

}  // namespace

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/settings.h"
#include "harness.h"
#include "log/events.h"
#include "log/log.h"
#include "runtime/runtime.h"

namespace {

/* The stop monitor of a service process whose supervisor has made its events,
 * run directly on this thread. */
class StopMonitorTest : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        InitializeLog();
        InitializeServiceStatus();
        CopyField(settings.serviceName, "Watched", NAME_CAPACITY);
        HKEY key = NULL;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Watched", 0,
                                                 NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
        DWORD timeout = 1500;
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Timeout", 0, REG_DWORD, (const BYTE *)&timeout, sizeof timeout));
        RegCloseKey(key);
        for (const char *kind : {"STOP", "EXIT0", "EXIT1"}) events.push_back(CreateNamedEvent(kind));
    }
    void TearDown() override {
        for (HANDLE event : events) CloseHandle(event);
        if (applicationHandle != NULL) CloseHandle(applicationHandle);
        applicationHandle = NULL;
    }
    /* Runs the monitor and returns how long it took, in seconds. */
    double Monitor() {
        auto begin = std::chrono::steady_clock::now();
        testing::internal::CaptureStderr();
        StopMonitor(NULL);
        testing::internal::GetCapturedStderr();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    }
    static DWORD WINAPI EndAtOnce(LPVOID) { return 0; }
    static DWORD WINAPI Hang(LPVOID) {
        Sleep(INFINITE);
        return 0;
    }
    std::vector<HANDLE> events;
};

TEST_F(StopMonitorTest, AnApplicationThatHasEndedEndsTheMonitorAtOnce) {
    applicationHandle = CreateThread(NULL, 0, EndAtOnce, NULL, 0, NULL);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(applicationHandle, 10000));
    EXPECT_LT(Monitor(), 1.0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(applicationHandle, &code));
    EXPECT_EQ(0u, code);
    /* STOP was signalled for the process that hosts the virtual machine. */
    HANDLE stop = OpenNamedEvent("STOP");
    ASSERT_NE(stop, (HANDLE)NULL);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stop, 0));
    CloseHandle(stop);
}

TEST_F(StopMonitorTest, WithoutAnApplicationThereIsNothingToWaitFor) {
    EXPECT_LT(Monitor(), 1.0);
}

TEST_F(StopMonitorTest, TheTimeoutForcesTheApplicationThreadDownWithTen) {
    applicationHandle = CreateThread(NULL, 0, Hang, NULL, 0, NULL);
    double seconds = Monitor();
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 10.0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(applicationHandle, &code));
    EXPECT_EQ(10u, code);
}

TEST_F(StopMonitorTest, AnExitOfTheVirtualMachineEndsTheMonitor) {
    applicationHandle = CreateThread(NULL, 0, Hang, NULL, 0, NULL);
    ASSERT_EQ(0, SignalNamedEvent("EXIT1"));
    EXPECT_LT(Monitor(), 1.0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(applicationHandle, &code));
    EXPECT_EQ((DWORD)STILL_ACTIVE, code);
}

} // namespace

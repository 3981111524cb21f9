#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/settings.h"
#include "harness.h"
#include "log/events.h"
#include "log/log.h"

namespace {

class Events : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        CopyField(settings.serviceName, "Billing", NAME_CAPACITY);
    }
    void TearDown() override { ResetServiceSettings(); }
};

/* Runs `action` in a forked child; returns its exit status. */
int InChild(int (*action)(void)) {
    pid_t pid = fork();
    if (pid == 0) _exit(action());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST_F(Events, NamesCarryTheServiceName) {
    char *name = FormatObjectName("DETACH_MUTEX");
    EXPECT_STREQ(name, "PELORIM_Billing_DETACH_MUTEX");
    free(name);
    HANDLE stop = CreateNamedEvent("STOP");
    ASSERT_NE(stop, nullptr);
    HANDLE byName = OpenEventA(SYNCHRONIZE, FALSE, "PELORIM_Billing_STOP_EVENT");
    EXPECT_NE(byName, nullptr);
    CloseHandle(byName);
    CloseHandle(stop);
}

TEST_F(Events, SignalWithoutTheEventFailsAndLogsOpenEvent) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(SignalNamedEvent("STOP"), 1);
    EXPECT_EQ(OpenNamedEvent("RUN"), nullptr);
    std::string console = testing::internal::GetCapturedStderr();
    EXPECT_EQ(console.rfind("OpenEvent: ", 0), 0u) << console;
    EXPECT_NE(console.find(" (2)\nOpenEvent: "), std::string::npos) << console;
}

TEST_F(Events, ManualResetStaysSignalledForLaterWaitersAndCreators) {
    HANDLE quit = CreateNamedEvent("QUIT");
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(WaitForSingleObject(quit, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(SignalNamedEvent("QUIT"), 0);
    EXPECT_EQ(WaitForSingleObject(quit, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(quit, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    HANDLE again = CreateNamedEvent("QUIT");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(again);
    CloseHandle(quit);
}

int SignalRunFromChild(void) { return SignalNamedEvent("RUN"); }

int WaitForStopInChild(void) {
    HANDLE stop = OpenNamedEvent("STOP");
    if (stop == nullptr) return 2;
    DWORD result = WaitForSingleObject(stop, 10000);
    CloseHandle(stop);
    return result == WAIT_OBJECT_0 ? 0 : 3;
}

TEST_F(Events, AnotherProcessOfTheServiceSignalsAndWaits) {
    HANDLE run = CreateNamedEvent("RUN");
    HANDLE stop = CreateNamedEvent("STOP");
    ASSERT_NE(run, nullptr);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(InChild(SignalRunFromChild), 0);
    EXPECT_EQ(WaitForSingleObject(run, 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    pid_t pid = fork();
    if (pid == 0) _exit(WaitForStopInChild());
    usleep(100000);
    EXPECT_EQ(SignalNamedEvent("STOP"), 0);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    CloseHandle(stop);
    CloseHandle(run);
}

} // namespace

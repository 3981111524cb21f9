/*
 * /start, /stop and /uninstall as a user runs them, against services of the
 * tests' own (support/testservice) created through the controller's API.
 */
#include <windows.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string banner = "Pelorim 1.3c Java Wrapper for NT Service\r\n\r\n";

std::string TestServiceCommand(const std::string &behaviour) {
    return "\"" + harness::SupportProgram("testservice") + "\" " + behaviour;
}

/* Creates the service through the controller's API; 0 or the last error. */
DWORD CreateTestService(const std::string &name, const std::string &behaviour, DWORD startType = SERVICE_DEMAND_START) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_WRITE);
    if (manager == NULL) return GetLastError();
    std::string command = TestServiceCommand(behaviour);
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, command.c_str(),
                                       NULL, NULL, "", NULL, NULL);
    DWORD error = service == NULL ? GetLastError() : 0;
    if (service != NULL) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
}

/* Marks the service for deletion (or deletes it) through the API. */
BOOL DeleteTestService(const std::string &name) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, GENERIC_WRITE);
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), DELETE);
    BOOL deleted = service != NULL && DeleteService(service);
    if (service != NULL) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return deleted;
}

void StoreDebugLevel(const std::string &name, DWORD level) {
    HKEY key = NULL;
    std::string path = "System\\CurrentControlSet\\Services\\" + name;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "DebugLevel", 0, REG_DWORD, (const BYTE *)&level, sizeof level));
    RegCloseKey(key);
}

/* An exit code that does not fit in an exit status leaves the program as 255. */
int ExitStatusOf(DWORD exitCode) { return exitCode <= 255 ? (int)exitCode : 255; }

/* The parent process of `pid` (field 4 of its stat), 0 when it is gone. */
pid_t ParentOf(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    if (!harness::FileExists(path)) return 0;
    std::string stat = harness::ReadText(path);
    size_t close = stat.rfind(')');
    int parent = 0;
    return close != std::string::npos && sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 ? parent : 0;
}

bool IsServiceState(const std::string &name, unsigned state) {
    auto status = harness::ServiceStatus(name);
    return status && status->state == state;
}

class ServiceControl : public ::testing::Test {
  protected:
    void SetUp() override { harness::MakeFreshRoot(); }

    /* Ends whatever a test left running, so that no service outlives its test. */
    void TearDown() override {
        for (const auto &name : created_) {
            auto status = harness::ServiceStatus(name);
            if (status && status->state != SERVICE_STOPPED && status->pid > 0) kill((pid_t)status->pid, SIGKILL);
        }
    }

    void Create(const std::string &name, const std::string &behaviour, DWORD startType = SERVICE_DEMAND_START) {
        ASSERT_EQ(0u, CreateTestService(name, behaviour, startType));
        created_.push_back(name);
    }

    /* Runs `pelorim name action` and measures how long it took. */
    harness::RunResult Pelorim(const std::string &name, const std::string &action, double *seconds = nullptr) {
        auto begin = std::chrono::steady_clock::now();
        harness::RunOptions options;
        options.timeoutSeconds = 90;
        harness::RunResult result = harness::RunPelorim({name, action}, options);
        if (seconds != nullptr)
            *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return result;
    }

    std::vector<std::string> created_;
};

TEST_F(ServiceControl, StartAndStopARunningServiceWithOneDotEach) {
    Create("Alpha", "run");

    auto start = Pelorim("Alpha", "/start");
    EXPECT_EQ(banner + "Starting Alpha..\nAlpha started.\n", start.out);
    EXPECT_EQ("", start.err);
    EXPECT_EQ(0, start.exitCode);
    EXPECT_TRUE(IsServiceState("Alpha", SERVICE_RUNNING));

    auto stop = Pelorim("Alpha", "/stop");
    EXPECT_EQ(banner + "Stopping Alpha..\nAlpha stopped.\n", stop.out);
    EXPECT_EQ("", stop.err);
    EXPECT_EQ(0, stop.exitCode);
    EXPECT_TRUE(IsServiceState("Alpha", SERVICE_STOPPED));
}

TEST_F(ServiceControl, RequestsAlreadyDoneAreReportedAndSucceed) {
    Create("Alpha", "run");
    auto stopStopped = Pelorim("Alpha", "/stop");
    EXPECT_EQ(banner, stopStopped.out);
    EXPECT_EQ("Service Alpha is not running.\n", stopStopped.err);
    EXPECT_EQ(0, stopStopped.exitCode);

    ASSERT_EQ(0, Pelorim("Alpha", "/start").exitCode);
    auto startRunning = Pelorim("Alpha", "/start");
    EXPECT_EQ(banner, startRunning.out);
    EXPECT_EQ("Service Alpha is already running.\n", startRunning.err);
    EXPECT_EQ(0, startRunning.exitCode);

    /* With warnings on, the refused request follows as the system's text with its code
     * (after the start-up's own warnings about values that are not stored). */
    StoreDebugLevel("Alpha", 1);
    auto withWarning = Pelorim("Alpha", "/start");
    EXPECT_TRUE(std::regex_search(withWarning.err,
                                 std::regex("Service Alpha is already running\\.\nStartService: [^\n]+ \\(1056\\)\n")))
        << withWarning.err;
    ASSERT_EQ(0, Pelorim("Alpha", "/stop").exitCode);
    auto stopWarning = Pelorim("Alpha", "/stop");
    EXPECT_TRUE(std::regex_search(stopWarning.err,
                                 std::regex("Service Alpha is not running\\.\nControlService: [^\n]+ \\(1062\\)\n")))
        << stopWarning.err;
    EXPECT_EQ(0, stopWarning.exitCode);
}

TEST_F(ServiceControl, MissingServiceIsNamedWithTheVerb) {
    /* Starting what is not installed fails; stopping it leaves nothing running, as asked. */
    auto start = Pelorim("Nobody", "/start");
    EXPECT_EQ(banner, start.out);
    EXPECT_EQ("Cannot start the service named Nobody.\nService with this name does not exist.\n", start.err);
    EXPECT_EQ(9, start.exitCode);

    auto stop = Pelorim("Nobody", "/stop");
    EXPECT_EQ("Cannot stop the service named Nobody.\nService with this name does not exist.\n", stop.err);
    EXPECT_EQ(0, stop.exitCode);
}

TEST_F(ServiceControl, CheckPointThatDoesNotAdvanceEndsTheWaitAsFailure) {
    Create("Stuck", "hang 300");
    double seconds = 0;
    auto start = Pelorim("Stuck", "/start", &seconds);
    EXPECT_EQ(banner + "Starting Stuck..", start.out);
    EXPECT_EQ("CheckPoint not incremented\n\nStuck failed to start.\n", start.err);
    /* The service set no exit code; the failed start still fails. */
    EXPECT_EQ(9, start.exitCode);
    /* The whole hint of 0.3 s (or the controller's own first hint) was slept before the second look. */
    EXPECT_GE(seconds, 0.3);
    EXPECT_LT(seconds, 20.0);
    EXPECT_TRUE(IsServiceState("Stuck", SERVICE_START_PENDING));
}

TEST_F(ServiceControl, WaitHintOfZeroLooksAgainAtOnce) {
    /* Raises its check point every 200 ms for 8 s with a wait hint of 0: the second
     * look comes at once and finds the same check point. */
    Create("Eager", "progress 40 0 200");
    double seconds = 0;
    auto start = Pelorim("Eager", "/start", &seconds);
    EXPECT_TRUE(std::regex_match(start.out, std::regex(banner + "Starting Eager\\.\\.+"))) << start.out;
    EXPECT_EQ("CheckPoint not incremented\n\nEager failed to start.\n", start.err);
    EXPECT_EQ(9, start.exitCode);
    EXPECT_LT(seconds, 7.0);
}

TEST_F(ServiceControl, RisingCheckPointsAreFollowedUntilRunning) {
    /* Longer than any first wait hint the controller itself may show before the service reports. */
    Create("Slow", "progress 10 600 300");
    double seconds = 0;
    auto start = Pelorim("Slow", "/start", &seconds);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(start.out, match, std::regex(banner + "Starting Slow\\.(\\.+)\nSlow started\\.\n")))
        << start.out;
    EXPECT_GE(match[1].length(), 2);
    EXPECT_LE(match[1].length(), 11);
    EXPECT_EQ("", start.err);
    EXPECT_EQ(0, start.exitCode);
    EXPECT_GE(seconds, 3.0);
}

TEST_F(ServiceControl, ServiceSpecificExitCodeOfAFailedStartBecomesTheExitCode) {
    Create("Failing", "fail 5");
    auto start = Pelorim("Failing", "/start");
    EXPECT_EQ(banner + "Starting Failing..", start.out);
    EXPECT_EQ("\nFailing failed to start.\n", start.err);
    EXPECT_EQ(5, start.exitCode);

    Create("Wide", "fail 512");
    EXPECT_EQ(255, Pelorim("Wide", "/start").exitCode) << "a failure never exits 0";
}

TEST_F(ServiceControl, CrashingServiceFailsWithTheControllersCode) {
    Create("Crashing", "crash");
    double seconds = 0;
    auto start = Pelorim("Crashing", "/start", &seconds);
    EXPECT_EQ(banner + "Starting Crashing..", start.out);
    EXPECT_EQ("\nCrashing failed to start.\n", start.err);
    EXPECT_EQ(ExitStatusOf(ERROR_PROCESS_ABORTED), start.exitCode);
    EXPECT_LT(seconds, 20.0);

    Create("Early", "crashearly");
    auto early = Pelorim("Early", "/start", &seconds);
    EXPECT_EQ(banner, early.out);
    EXPECT_TRUE(std::regex_match(early.err, std::regex("StartService: [^\n]+ \\(1053\\)\n"))) << early.err;
    EXPECT_EQ(9, early.exitCode);
    EXPECT_LT(seconds, 40.0);
}

TEST_F(ServiceControl, RefusedStartOfADisabledServiceIsASystemFailure) {
    Create("Off", "run", SERVICE_DISABLED);
    auto start = Pelorim("Off", "/start");
    EXPECT_EQ(banner, start.out);
    EXPECT_TRUE(std::regex_match(start.err, std::regex("StartService: [^\n]+ \\(1058\\)\n"))) << start.err;
    EXPECT_EQ(9, start.exitCode);
}

TEST_F(ServiceControl, StopThatIsIgnoredOrStallsIsAFailure) {
    Create("Deaf", "ignorestop");
    ASSERT_EQ(0, Pelorim("Deaf", "/start").exitCode);
    auto ignored = Pelorim("Deaf", "/stop");
    EXPECT_EQ(banner + "Stopping Deaf..", ignored.out);
    EXPECT_EQ("\nDeaf failed to stop.\n", ignored.err);
    EXPECT_EQ(9, ignored.exitCode);

    Create("Stalling", "stophang 300");
    ASSERT_EQ(0, Pelorim("Stalling", "/start").exitCode);
    auto stalled = Pelorim("Stalling", "/stop");
    EXPECT_EQ(banner + "Stopping Stalling..", stalled.out);
    EXPECT_EQ("CheckPoint not incremented\n\nStalling failed to stop.\n", stalled.err);
    EXPECT_EQ(9, stalled.exitCode);
}

TEST_F(ServiceControl, ServiceThatVanishesDuringStopEndsStoppedWithTheControllersCode) {
    Create("Ghost", "vanish");
    ASSERT_EQ(0, Pelorim("Ghost", "/start").exitCode);
    auto stop = Pelorim("Ghost", "/stop");
    EXPECT_EQ(banner + "Stopping Ghost..\nGhost stopped.\n", stop.out);
    EXPECT_EQ("", stop.err);
    EXPECT_EQ(ExitStatusOf(ERROR_PROCESS_ABORTED), stop.exitCode);
}

/* The controller learns of the end by itself: the view tells the truth at once,
 * though nobody asks the controller for a status. */
TEST_F(ServiceControl, AKilledServiceReadsStoppedWithoutAnyoneAsking) {
    Create("Killed", "run");
    ASSERT_EQ(0, Pelorim("Killed", "/start").exitCode);
    auto running = harness::ServiceStatus("Killed");
    ASSERT_TRUE(running && running->state == SERVICE_RUNNING && running->pid > 0);
    ASSERT_EQ(0, kill((pid_t)running->pid, SIGKILL));
    EXPECT_TRUE(harness::WaitFor(
        [&] {
            auto row = harness::ServiceStatus("Killed");
            return row && row->state == SERVICE_STOPPED && row->win32ExitCode == ERROR_PROCESS_ABORTED;
        },
        2));
    auto crashRecords = [] {
        return harness::Query("SELECT message FROM eventlog WHERE source = 'Service Control Manager'"
                              " AND message = 'The Killed service terminated unexpectedly.'")
            .size();
    };
    EXPECT_TRUE(harness::WaitFor([&] { return crashRecords() == 1; }, 2));

    /* machine.db locked past the watcher's busy timeout (10 s) when the
     * service dies: the watcher tries again until its record is written. */
    ASSERT_EQ(0, Pelorim("Killed", "/start").exitCode);
    long long pid = harness::ServiceStatus("Killed")->pid;
    {
        sqlite3 *holder = nullptr;
        ASSERT_EQ(SQLITE_OK, sqlite3_open((harness::Root() + "/machine.db").c_str(), &holder));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr));
        ASSERT_EQ(0, kill((pid_t)pid, SIGKILL));
        sleep(13);
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    }
    EXPECT_TRUE(harness::WaitFor([&] { return crashRecords() == 2 && IsServiceState("Killed", SERVICE_STOPPED); }, 30));

    /* Without its watcher, the first status call that finds the process gone
     * writes the watcher's record. */
    ASSERT_EQ(0, Pelorim("Killed", "/start").exitCode);
    pid = harness::ServiceStatus("Killed")->pid;
    pid_t watcher = ParentOf((pid_t)pid);
    ASSERT_GT(watcher, 1);
    ASSERT_EQ(0, kill(watcher, SIGKILL));
    ASSERT_TRUE(harness::WaitFor([&] { return ParentOf((pid_t)pid) != watcher; }, 10));
    ASSERT_EQ(0, kill((pid_t)pid, SIGKILL));
    ASSERT_TRUE(harness::WaitFor([&] { return kill((pid_t)pid, 0) != 0; }, 10));
    EXPECT_TRUE(IsServiceState("Killed", SERVICE_RUNNING));
    auto stop = Pelorim("Killed", "/stop");
    EXPECT_EQ("Service Killed is not running.\n", stop.err);
    EXPECT_EQ(3u, crashRecords());
    EXPECT_EQ((unsigned)ERROR_PROCESS_ABORTED, harness::ServiceStatus("Killed")->win32ExitCode);

    /* A clean stop is recorded by the service itself, with no record of the controller's. */
    ASSERT_EQ(0, Pelorim("Killed", "/start").exitCode);
    pid = harness::ServiceStatus("Killed")->pid;
    ASSERT_EQ(0, Pelorim("Killed", "/stop").exitCode);
    ASSERT_TRUE(harness::WaitFor([&] { return kill((pid_t)pid, 0) != 0; }, 10));
    usleep(500 * 1000);
    EXPECT_EQ(3u, harness::Query("SELECT message FROM eventlog WHERE source = 'Service Control Manager'").size());
}

TEST_F(ServiceControl, UninstallStopsARunningServiceAndRemovesIt) {
    Create("Alpha", "run");
    ASSERT_EQ(0, Pelorim("Alpha", "/start").exitCode);
    auto uninstall = Pelorim("Alpha", "/uninstall");
    EXPECT_EQ(banner + "Stopping Alpha..\nAlpha stopped.\nAlpha removed.\n", uninstall.out);
    EXPECT_EQ("", uninstall.err);
    EXPECT_EQ(0, uninstall.exitCode);
    EXPECT_FALSE(harness::RegistryGet("System\\CurrentControlSet\\Services\\Alpha", "ImagePath"));
}

TEST_F(ServiceControl, UninstallOfAMissingServiceSucceedsWithBothMessages) {
    auto uninstall = Pelorim("Nobody", "/uninstall");
    EXPECT_EQ(banner, uninstall.out);
    EXPECT_EQ("Cannot stop the service named Nobody.\nService with this name does not exist.\n"
              "Cannot remove the service named Nobody.\nService with this name does not exist.\n",
              uninstall.err);
    EXPECT_EQ(0, uninstall.exitCode);
}

TEST_F(ServiceControl, UninstallOfAServiceMarkedForDeletionPrintsNoRemoval) {
    Create("Marked", "ignorestop");
    ASSERT_EQ(0, Pelorim("Marked", "/start").exitCode);
    StoreDebugLevel("Marked", 1);
    ASSERT_TRUE(DeleteTestService("Marked"));

    auto uninstall = Pelorim("Marked", "/uninstall");
    EXPECT_EQ(banner + "Stopping Marked..", uninstall.out);
    EXPECT_TRUE(std::regex_search(uninstall.err,
                                  std::regex("\nMarked failed to stop\\.\n(.*\n)*DeleteService: [^\n]+ \\(1072\\)\n$")))
        << uninstall.err;
    EXPECT_EQ(0, uninstall.exitCode);
}

} // namespace

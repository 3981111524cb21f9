/*
 * Detached mode: the virtual machine runs in a child copy of the program
 * started with /subprocess, while the service process keeps the status, the
 * stop and the log.
 */
#include <algorithm>
#include <regex>
#include <thread>

#include "runtime_fixture.h"

namespace {

class Detached : public RunningService {
  protected:
    bool AwaitChild(double seconds = 20) {
        return harness::WaitFor([&] { return !ChildProcesses().empty(); }, seconds);
    }
};

/* The child writes no log file: what its virtual machine prints (a warning,
 * with its whole text), the application's lines and the child's own records
 * (at their level) reach the service process's log file through the pipes,
 * and no record says that the file could not be opened. */
TEST_F(Detached, TheChildHostsTheVmAndStopsWithTheService) {
    Install("Det", {"/detach", "/debug:2"}, {"-XX:-UseBiasedLocking"});
    auto start = Run({"Det", "/start"});
    ASSERT_EQ(0, start.exitCode) << start.out << start.err;
    long long service = ServicePid("Det");
    ASSERT_TRUE(AwaitChild());
    pid_t child = ChildProcesses().front();
    EXPECT_TRUE(HostsJvm(child));
    EXPECT_FALSE(HostsJvm(service));

    for (int i = 0; i < 10; i++) {
        Tell("out", "from the child " + std::to_string(i) + "\n");
        ASSERT_TRUE(harness::WaitFor([&] { return !harness::FileExists(control + "/out"); }, 10));
    }
    EXPECT_TRUE(AwaitLog("INFO: from the child 9\r\n")) << Log();
    for (int i = 0; i < 9; i++) EXPECT_TRUE(LogHas("INFO: from the child " + std::to_string(i) + "\r\n")) << Log();
    Tell("err", "child trouble\n");
    EXPECT_TRUE(AwaitLog("ERROR: child trouble\r\n")) << Log();
    EXPECT_TRUE(std::regex_search(Log(), std::regex("ERROR: [^\r\n]*VM warning: [^\r\n]*UseBiasedLocking[^\r\n]*\\.\r\n")))
        << Log();

    auto stop = Run({"Det", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Det", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Det"));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(child) && !Alive(service); }, 20));
    EXPECT_TRUE(Fifos().empty());
    EXPECT_TRUE(LogHas("INFO: Invoking System.exit(0)\r\n")) << Log();
    EXPECT_FALSE(LogHas("JVM Exit Hook called"));
    for (const std::string &record : EventMessages()) EXPECT_EQ(record.find("CreateFile"), std::string::npos) << record;
}

TEST_F(Detached, TheChildsExitCodeIsTheResultWithoutTheExitHook) {
    Install("Three", {"/detach", "/debug:2"});
    ASSERT_EQ(0, Run({"Three", "/start"}).exitCode);
    /* A failure whose low 8 bits are 0 still reads as a failure. */
    Tell("exit", "256");
    ASSERT_TRUE(AwaitState("Three", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_PROCESS_ABORTED, ExitCodeOf("Three"));
    EXPECT_FALSE(LogHas("JVM error exit"));
    /* The service says how it ended, in the log file too, before the
     * controller's record of the unexpected end; never that it was stopped. */
    EXPECT_TRUE(LogHas("ERROR: Three ended unexpectedly with exit code 256.\r\n")) << Log();
    std::vector<std::string> records = EventMessages();
    auto own = std::find(records.begin(), records.end(), "Three ended unexpectedly with exit code 256.");
    auto controllers = std::find(records.begin(), records.end(), "The Three service terminated unexpectedly.");
    EXPECT_TRUE(own < controllers && controllers != records.end());
    EXPECT_FALSE(EventLogged("Three was stopped."));
}

/* The child's exit code before it ran the application is the reason the
 * start failed, which the service stops with and /start passes on. */
TEST_F(Detached, AMissingMainClassStopsTheServiceWithItsReason) {
    std::string classes = harness::MakeTempDirectory("pelorim-classes");
    harness::WriteText(classes + "/LongRunning.class", harness::ReadText(harness::JavaClasses() + "/LongRunning.class"));
    Install("Gone", {"/detach"}, {}, classes);
    ASSERT_EQ(0, unlink((classes + "/LongRunning.class").c_str()));
    auto start = Run({"Gone", "/start"});
    EXPECT_NE(start.err.find("Gone failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_EQ(4, start.exitCode);
    ASSERT_TRUE(AwaitState("Gone", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_SERVICE_SPECIFIC_ERROR, ExitCodeOf("Gone"));
    /* The virtual machine's description of the failed lookup came through the error pipe. */
    EXPECT_TRUE(LogHas("ERROR: ")) << Log();
    EXPECT_TRUE(harness::WaitFor([&] { return ChildProcesses().empty(); }, 10));
}

/* A forced stop ends the child before STOPPED, so nothing of the first run
 * holds the events, the pipes or the application's ports: the next start works. */
TEST_F(Detached, AForcedStopEndsTheChildAndTheServiceStartsAgain) {
    Install("Hang", {"/detach", "/shutdown:shutdownHangs", "/timeout:4000"});
    ASSERT_EQ(0, Run({"Hang", "/start"}).exitCode);
    ASSERT_TRUE(AwaitChild());
    pid_t child = ChildProcesses().front();
    auto stop = Run({"Hang", "/stop"});
    EXPECT_EQ(10, stop.exitCode) << stop.out << stop.err;
    ASSERT_TRUE(IsState("Hang", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_SERVICE_SPECIFIC_ERROR, ExitCodeOf("Hang"));
    EXPECT_TRUE(LogHas("ERROR: The application did not end within 4000 ms")) << Log();
    EXPECT_FALSE(Alive(child));
    EXPECT_EQ("shutdownHangs\n", harness::ReadText(control + "/shutdown"));

    ASSERT_EQ(0, unlink((control + "/started").c_str()));
    auto again = Run({"Hang", "/start"});
    ASSERT_EQ(0, again.exitCode) << again.out << again.err << Log();
    EXPECT_TRUE(harness::WaitFor([&] { return harness::FileExists(control + "/started"); }, 20));
    Tell("out", "second run\n");
    EXPECT_TRUE(AwaitLog("INFO: second run\r\n")) << Log();
    EXPECT_EQ(1u, ChildProcesses().size());
}

/* Killed, the service process takes its child along: nothing serves the
 * application's port out of the controller's sight, and nothing of the dead
 * run holds the service's events against the next start. */
TEST_F(Detached, AKilledServiceProcessTakesTheChildAndItsPortAlong) {
    Install("Orphan", {"/detach"}, {}, "", "PortServer");
    ASSERT_EQ(0, Run({"Orphan", "/start"}).exitCode);
    int port = AwaitServerPort();
    ASSERT_TRUE(port > 0 && harness::PortAnswers(port)) << Log();
    ASSERT_TRUE(AwaitChild());
    pid_t child = ChildProcesses().front();
    ASSERT_EQ(0, kill((pid_t)ServicePid("Orphan"), SIGKILL));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(child); }, 20)) << "the child outlived its service";
    /* A killed process reads as a zombie once its main thread has gone; its
     * other threads may still hold the socket for a moment. */
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::PortAnswers(port); }, 20)) << "the port stayed open";
    ASSERT_TRUE(AwaitState("Orphan", SERVICE_STOPPED));

    ASSERT_EQ(0, unlink((control + "/port").c_str()));
    auto again = Run({"Orphan", "/start"});
    ASSERT_EQ(0, again.exitCode) << again.out << again.err << Log();
    port = AwaitServerPort();
    EXPECT_TRUE(port > 0 && harness::PortAnswers(port)) << Log();
    EXPECT_EQ(0, Run({"Orphan", "/stop"}).exitCode);
    EXPECT_TRUE(harness::WaitFor([&] { return ChildProcesses().empty(); }, 20));
}

/* A SIGTERM to the service process, or a shutdown of the machine, stops the
 * child through the shutdown method and its hooks; the console's other
 * signals end nothing, as in process. A machine going down sends SIGTERM to
 * the child as well, whose console handler then meets the service's stop:
 * the shutdown method still runs once. */
TEST_F(Detached, ASigtermOrAMachineShutdownStopsTheChildGracefully) {
    Install("Term", {"/detach", "/shutdown:stopNow"});
    ASSERT_EQ(0, Run({"Term", "/start"}).exitCode);
    ASSERT_TRUE(AwaitChild());
    pid_t child = ChildProcesses().front();
    long long service = ServicePid("Term");
    for (int signal : {SIGINT, SIGHUP, SIGQUIT}) ASSERT_EQ(0, kill((pid_t)service, signal));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(IsState("Term", SERVICE_RUNNING));
    ASSERT_EQ(0, kill((pid_t)service, SIGTERM));
    ASSERT_EQ(0, kill(child, SIGTERM));
    ASSERT_TRUE(AwaitState("Term", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Term"));
    EXPECT_EQ("stopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_EQ("hook\n", harness::ReadText(control + "/hook"));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(child) && !Alive(service); }, 20));

    ASSERT_EQ(0, unlink((control + "/started").c_str()));
    auto again = Run({"Term", "/start"});
    ASSERT_EQ(0, again.exitCode) << again.out << again.err << Log();
    ASSERT_TRUE(InitiateSystemShutdownExA(NULL, NULL, 0, TRUE, FALSE, 0)) << GetLastError();
    EXPECT_TRUE(IsState("Term", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Term"));
    EXPECT_EQ("stopNow\nstopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_EQ("hook\nhook\n", harness::ReadText(control + "/hook"));
}

TEST_F(Detached, ASecondServiceProcessCannotStartAChild) {
    Install("Busy", {"/detach"});
    /* Another process of this service holds the DETACH mutex. */
    HANDLE held = CreateMutexA(NULL, TRUE, "PELORIM_Busy_DETACH_MUTEX");
    ASSERT_NE(held, (HANDLE)NULL);
    auto start = Run({"Busy", "/start"});
    EXPECT_NE(start.err.find("Busy failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_TRUE(std::regex_search(Log(), std::regex("ERROR: CreateMutex: [^\r\n]+ \\(183\\)\r\n"))) << Log();
    EXPECT_TRUE(ChildProcesses().empty());
    CloseHandle(held);
}

TEST_F(Detached, SubprocessByHandWithoutAServiceIsIgnored) {
    Install("Idle", {"/detach", "/debug:1"});
    auto run = Run({"Idle", "/subprocess"}, 60);
    EXPECT_NE(run.err.find("/subprocess command ignored\n"), std::string::npos) << run.err;
    EXPECT_FALSE(harness::FileExists(control + "/started"));
}

TEST_F(Detached, TheShutdownCommandRunsInTheChild) {
    std::string script = control + "/stop.sh";
    harness::WriteText(script, "#!/bin/sh\np=$$\nwhile [ -n \"$p\" ] && [ \"$p\" != 1 ]; do echo $p; "
                               "p=$(awk '{print $4}' /proc/$p/stat); done > \"$(dirname \"$0\")/ancestors\"\n"
                               "echo stopping child\ntouch \"$(dirname \"$0\")/stop\"\n");
    chmod(script.c_str(), 0755);
    Install("Cmd", {"/detach", "/shutdownCommand:" + script});
    ASSERT_EQ(0, Run({"Cmd", "/start"}).exitCode);
    ASSERT_TRUE(AwaitChild());
    pid_t child = ChildProcesses().front();
    EXPECT_EQ(0, Run({"Cmd", "/stop"}).exitCode);
    EXPECT_TRUE(AwaitState("Cmd", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Cmd"));
    std::string ancestors = "\n" + harness::ReadText(control + "/ancestors");
    EXPECT_NE(ancestors.find("\n" + std::to_string(child) + "\n"), std::string::npos) << ancestors;
    /* The command's output is written to the log by the child. */
    EXPECT_TRUE(LogHas("INFO: stopping child\r\n")) << Log();
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
}

} // namespace

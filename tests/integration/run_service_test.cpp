/*
 * A Java application run as a service, in-process, as a user runs it:
 * /install, /start, /stop, with the log file, the event log and the service
 * status as the evidence.
 */
#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "runtime_fixture.h"

namespace {

const std::string banner = "Pelorim 1.3c Java Wrapper for NT Service\r\n\r\n";

class RunService : public RunningService {};

/* The line of the log that holds `text`, or "". */
std::string LineWith(const std::string &log, const std::string &text) {
    size_t at = log.find(text);
    if (at == std::string::npos) return "";
    size_t begin = log.rfind("\r\n", at);
    begin = begin == std::string::npos ? 0 : begin + 2;
    return log.substr(begin, log.find("\r\n", at) - begin);
}

/* What the virtual machine writes itself goes where it was asked to: its
 * own log file keeps its lines (-Xlog:...:file=), and what it prints on its
 * standard output and error (flags, a warning with its whole text, a thread
 * dump below) reaches the service's log at the stream's level, like the
 * application's output. */
TEST_F(RunService, RunsLogsItsOutputAndStopsThroughSystemExit) {
    std::string gcLog = control + "/gc.log";
    Install("Svc", {"/debug:2"}, {"-Xlog:gc:file=" + gcLog, "-XX:-UseBiasedLocking", "-XX:+PrintFlagsFinal"});
    auto start = Run({"Svc", "/start"});
    EXPECT_TRUE(std::regex_match(start.out, std::regex(banner + "Starting Svc\\.+\nSvc started\\.\n"))) << start.out;
    EXPECT_EQ(0, start.exitCode) << start.err;
    EXPECT_TRUE(IsState("Svc", SERVICE_RUNNING));
    long long pid = ServicePid("Svc");

    Tell("out", "hello from out\n");
    EXPECT_TRUE(AwaitLog("INFO: hello from out\r\n")) << Log();
    Tell("err", "trouble on err\n");
    EXPECT_TRUE(AwaitLog("ERROR: trouble on err\r\n")) << Log();
    /* Each line is a record of its own, however it was written and read;
     * blank output makes none. */
    Tell("out", "line one\nline two\n");
    EXPECT_TRUE(AwaitLog("INFO: line two\r\n")) << Log();
    EXPECT_TRUE(LogHas("INFO: line one\r\n")) << Log();
    Tell("out", std::string("before\0after\n", 13));
    EXPECT_TRUE(AwaitLog("INFO: before^@after\r\n")) << Log();
    Tell("out", " \n\t\n");
    Tell("out", std::string(2400, 'z') + "\n");
    ASSERT_TRUE(AwaitLog("INFO: " + std::string(2400, 'z') + "\r\n")) << Log();
    std::string log = Log();
    EXPECT_EQ(log.find("INFO: \r\n"), std::string::npos);
    std::string warning = LineWith(log, "VM warning: ");
    EXPECT_TRUE(std::regex_match(warning, std::regex("[^:]*:[0-9:]* ERROR: [^\r\n]*VM warning: .*UseBiasedLocking.*\\.")))
        << warning;
    EXPECT_NE(LineWith(log, "bool UseG1GC ").find(" INFO:      bool UseG1GC "), std::string::npos) << log;
    EXPECT_EQ(log.find("Using G1"), std::string::npos) << log;
    EXPECT_NE(harness::ReadText(gcLog).find("Using G1"), std::string::npos);
    EXPECT_TRUE(EventLogged(banner));
    EXPECT_TRUE(EventLogged("Svc was started."));

    auto stop = Run({"Svc", "/stop"});
    EXPECT_TRUE(std::regex_match(stop.out, std::regex(banner + "Stopping Svc\\.+\nSvc stopped\\.\n"))) << stop.out;
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    auto status = harness::ServiceStatus("Svc");
    ASSERT_TRUE(status);
    EXPECT_EQ((unsigned)SERVICE_STOPPED, status->state);
    EXPECT_EQ(0u, status->win32ExitCode);
    log = Log();
    size_t notSpecified = log.find("INFO: ShutdownMethod not specified");
    size_t exitCall = log.find("INFO: Invoking System.exit(0)");
    EXPECT_NE(notSpecified, std::string::npos) << log;
    EXPECT_NE(exitCall, std::string::npos) << log;
    EXPECT_LT(notSpecified, exitCall);
    EXPECT_TRUE(EventLogged("Svc was stopped."));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(pid); }, 10));
    EXPECT_TRUE(Fifos().empty());
}

TEST_F(RunService, CheckPointsRiseThroughStartAndContinueThroughStop) {
    /* The startup method answers true once: RUN comes after its second call,
     * at least a second after the first. The shutdown hangs, so the stop
     * lasts until the timeout forces it. */
    Install("Slow", {"/startup:starting", "/shutdown:shutdownHangs", "/timeout:12000"}, {"-DstartupTrueCount=1"});
    std::vector<harness::ServiceStatusRow> seen;
    auto watch = [&](unsigned until) {
        return harness::WaitFor([&] {
            auto status = harness::ServiceStatus("Slow");
            if (status && (seen.empty() || seen.back().checkpoint != status->checkpoint ||
                           seen.back().state != status->state))
                seen.push_back(*status);
            return status && status->state == until;
        }, 40);
    };
    std::thread start([&] { EXPECT_EQ(0, Run({"Slow", "/start"}).exitCode); });
    EXPECT_TRUE(watch(SERVICE_RUNNING));
    long long runningSeen = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count();
    start.join();
    unsigned last = 0;
    for (const auto &row : seen) {
        if (row.state != SERVICE_START_PENDING) continue;
        EXPECT_GT(row.checkpoint, last);
        last = row.checkpoint;
    }
    EXPECT_GE(last, 2u);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ((unsigned)SERVICE_RUNNING, seen.back().state);
    EXPECT_EQ(0u, seen.back().checkpoint);
    std::string calls = harness::ReadText(control + "/starting-calls");
    EXPECT_EQ(2, std::count(calls.begin(), calls.end(), '\n')) << calls;
    /* Each answer is followed by a second's pause before it counts. */
    EXPECT_GE(runningSeen - std::stoll(calls), 2000) << calls;

    seen.clear();
    std::thread stop([&] { EXPECT_EQ(10, Run({"Slow", "/stop"}).exitCode); });
    EXPECT_TRUE(watch(SERVICE_STOPPED));
    stop.join();
    unsigned stopLast = last;
    for (const auto &row : seen) {
        if (row.state != SERVICE_STOP_PENDING) continue;
        EXPECT_GT(row.checkpoint, stopLast);
        stopLast = row.checkpoint;
    }
    EXPECT_GE(stopLast, last + 2);
    EXPECT_EQ(0u, harness::ServiceStatus("Slow")->checkpoint);
}

/* A system shutdown is a stop: the service takes PRESHUTDOWN (and so is sent
 * no SHUTDOWN), and a shutdown of the machine as well as a SIGTERM to the
 * service process (what a Linux machine sends when it goes down) run the
 * shutdown method and the application's shutdown hooks and end in STOPPED. */
TEST_F(RunService, AMachineShutdownOrASigtermIsAGracefulStop) {
    Install("Reboot", {"/shutdown:stopNow", "/debug:2"});
    ASSERT_EQ(0, Run({"Reboot", "/start"}).exitCode);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryStatus("Reboot", &status));
    EXPECT_EQ((DWORD)(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PRESHUTDOWN), status.dwControlsAccepted);
    ASSERT_TRUE(InitiateSystemShutdownExA(NULL, NULL, 0, TRUE, TRUE, 0)) << GetLastError();
    EXPECT_TRUE(IsState("Reboot", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Reboot"));
    EXPECT_EQ("stopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_EQ("hook\n", harness::ReadText(control + "/hook"));
    EXPECT_TRUE(LogHas("INFO: Invoking shutdown method: stopNow")) << Log();
    EXPECT_TRUE(EventLogged("Reboot was stopped."));

    ASSERT_EQ(0, unlink((control + "/started").c_str()));
    ASSERT_EQ(0, Run({"Reboot", "/start"}).exitCode);
    long long pid = ServicePid("Reboot");
    ASSERT_EQ(0, kill((pid_t)pid, SIGTERM));
    ASSERT_TRUE(AwaitState("Reboot", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Reboot"));
    EXPECT_EQ("stopNow\nstopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_EQ("hook\nhook\n", harness::ReadText(control + "/hook"));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(pid); }, 10));
    EXPECT_TRUE(harness::Query("SELECT 1 FROM eventlog WHERE event_id = 7034").empty());
}

TEST_F(RunService, AShutdownMethodEndsMainAndTheServiceStops) {
    Install("Polite", {"/shutdown:stopNow", "/debug:2"});
    ASSERT_EQ(0, Run({"Polite", "/start"}).exitCode);
    auto stop = Run({"Polite", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Polite", SERVICE_STOPPED));
    EXPECT_EQ("stopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
    EXPECT_TRUE(LogHas("INFO: Invoking shutdown method: stopNow")) << Log();
    EXPECT_FALSE(LogHas("Invoking System.exit(0)")) << Log();
}

TEST_F(RunService, AThrowingShutdownMethodIsFollowedBySystemExit) {
    Install("Clumsy", {"/shutdown:shutdownThrows", "/debug:2"});
    ASSERT_EQ(0, Run({"Clumsy", "/start"}).exitCode);
    EXPECT_EQ(0, Run({"Clumsy", "/stop"}).exitCode);
    EXPECT_TRUE(IsState("Clumsy", SERVICE_STOPPED));
    std::string log = Log();
    size_t thrown = log.find("shutdown failed on purpose");
    size_t exitCall = log.find("INFO: Invoking System.exit(0)");
    EXPECT_NE(thrown, std::string::npos) << log;
    EXPECT_NE(exitCall, std::string::npos) << log;
}

/* A start that may come through on a second try: the process ends without
 * STOPPED, so that recovery actions start it again, and says why. */
TEST_F(RunService, AStartupMethodThatNeverFinishesRunsIntoTheTimeout) {
    Install("Forever", {"/startup:startingForever", "/timeout:3000"});
    double seconds = 0;
    auto start = Timed({"Forever", "/start"}, &seconds);
    EXPECT_NE(start.err.find("Forever failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_LT(seconds, 30);
    ASSERT_TRUE(AwaitState("Forever", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_PROCESS_ABORTED, ExitCodeOf("Forever"));
    const std::string timedOut = "Forever did not start within 3000 ms (Timeout): its start has timed out, and the "
                                 "service ends.";
    EXPECT_TRUE(LogHas("ERROR: " + timedOut + "\r\n")) << Log();
    EXPECT_TRUE(EventLogged(timedOut));
    EXPECT_FALSE(EventLogged("Forever was stopped."));
    EXPECT_FALSE(EventLogged("Forever was started."));
}

TEST_F(RunService, AMissingStartupMethodIsDescribedAndTheServiceStillRuns) {
    Install("Lenient", {"/startup:noSuchStartup"});
    EXPECT_EQ(0, Run({"Lenient", "/start"}).exitCode);
    EXPECT_TRUE(IsState("Lenient", SERVICE_RUNNING));
    EXPECT_TRUE(AwaitLog("NoSuchMethodError")) << Log();
    EXPECT_EQ(0, Run({"Lenient", "/stop"}).exitCode);
    EXPECT_TRUE(IsState("Lenient", SERVICE_STOPPED));
}

TEST_F(RunService, AnApplicationEndingWithZeroStopsTheService) {
    Install("Done", {});
    ASSERT_EQ(0, Run({"Done", "/start"}).exitCode);
    Tell("exit", "0");
    ASSERT_TRUE(AwaitState("Done", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Done"));
    EXPECT_TRUE(harness::WaitFor([&] { return EventLogged("Done was stopped."); }, 10));
}

/* What the virtual machine and the application write to one stream stays in
 * its order: the virtual machine's "Exception in thread" begins the line that
 * the exception's own text ends, before its stack trace. */
TEST_F(RunService, AnExceptionFromMainIsLoggedInItsOrder) {
    Install("Thrown", {}, {}, "", "ThrowFromMain");
    Run({"Thrown", "/start"});
    ASSERT_TRUE(AwaitLog("ERROR: \tat ThrowFromMain.main(")) << Log();
    std::string log = Log();
    std::string first = LineWith(log, "Exception in thread");
    EXPECT_NE(first.find(" ERROR: Exception in thread \"main\" java.lang.NumberFormatException: For input string: "),
              std::string::npos)
        << log;
    EXPECT_LT(log.find(first), log.find("\tat ThrowFromMain.main(")) << log;
}

/* 5,000 lines of mixed length, some longer than a read, written in bursts,
 * arrive whole, in order, one record each, in the log file and the files
 * that LogMaxSize rotated it into, none lost between them. */
TEST_F(RunService, ManyLinesOfMixedLengthArriveWholeAndInOrderAcrossRotatedFiles) {
    Install("Burst", {});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Burst", 0,
                                           KEY_ALL_ACCESS, &key));
    DWORD maxSize = 400000, keep = 100;
    RegSetValueExA(key, "LogMaxSize", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&maxSize), sizeof maxSize);
    RegSetValueExA(key, "LogKeep", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&keep), sizeof keep);
    RegCloseKey(key);
    ASSERT_EQ(0, Run({"Burst", "/start"}).exitCode);

    std::vector<std::string> lines;
    unsigned state = 12345;
    for (int burst = 0; burst < 5; burst++) {
        std::string text;
        for (int i = 0; i < 1000; i++) {
            state = state * 1103515245u + 12345u;
            size_t length = (state >> 8) % 7 == 0 ? 1000 + (state >> 4) % 12000 : (state >> 4) % 300;
            std::string line = "line-" + std::to_string(lines.size()) + "-";
            while (line.size() < length) line += (state >> (line.size() % 16)) % 5 == 0 ? " \xC3\xA9" : "x";
            lines.push_back(line);
            text += line + "\n";
        }
        Tell("out", text);
        ASSERT_TRUE(harness::WaitFor([&] { return !harness::FileExists(control + "/out"); }, 30));
    }
    ASSERT_TRUE(AwaitLog("INFO: " + lines.back() + "\r\n", 60));
    ASSERT_EQ(0, Run({"Burst", "/stop"}).exitCode);

    std::vector<std::string> logged;
    for (int number = (int)keep; number >= 0; number--) {
        std::string file = number > 0 ? logFile + "." + std::to_string(number) : logFile;
        if (!harness::FileExists(file)) continue;
        std::string content = harness::ReadText(file);
        EXPECT_LE(content.size(), maxSize) << file;
        for (size_t at = 0; at < content.size();) {
            size_t end = content.find("\r\n", at);
            size_t text = content.find(" INFO: ", at);
            if (text < end) logged.push_back(content.substr(text + 7, end - text - 7));
            at = end + 2;
        }
    }
    EXPECT_TRUE(harness::FileExists(logFile + ".10"));
    ASSERT_EQ(logged.size(), lines.size());
    for (size_t i = 0; i < lines.size(); i++) ASSERT_EQ(logged[i], lines[i]) << i;
}

/* The application's own failures end the process without STOPPED, so that
 * recovery actions restart it, and the service says what the application did:
 * the status it gave System.exit, or an exception from main (not the "no main
 * method" that the same RunExitCode stands for before main runs). */
TEST_F(RunService, AnApplicationEndingWithAFailureEndsTheProcessWithoutStopped) {
    Install("Failed", {});
    ASSERT_EQ(0, Run({"Failed", "/start"}).exitCode);
    long long pid = ServicePid("Failed");
    Tell("exit", "3");
    ASSERT_TRUE(AwaitState("Failed", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_PROCESS_ABORTED, ExitCodeOf("Failed"));
    EXPECT_TRUE(harness::WaitFor([&] { return !Alive(pid); }, 10));
    const std::string exited = "Failed ended unexpectedly: the application called System.exit(3).";
    EXPECT_TRUE(LogHas("ERROR: " + exited + "\r\n")) << Log();
    EXPECT_TRUE(EventLogged(exited));

    auto install = Run({"Thrower", "/install", "/logfile:" + logFile, "-cp", harness::JavaClasses(), "ThrowFromMain",
                        "1500"});
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    installed.push_back("Thrower");
    Run({"Thrower", "/start"});
    ASSERT_TRUE(AwaitState("Thrower", SERVICE_STOPPED));
    EXPECT_EQ((unsigned)ERROR_PROCESS_ABORTED, ExitCodeOf("Thrower"));
    const std::string threw = "Thrower ended unexpectedly: the main method of the application ended with an exception.";
    EXPECT_TRUE(AwaitLog("ERROR: " + threw + "\r\n")) << Log();
    EXPECT_TRUE(LogHas("thrown from main on purpose")) << Log();
}

/* The Java command line of today, as typed after java: options with their
 * value in the next word, and an argument file. The virtual machine gets them
 * in the forms its invocation interface knows, and the application sees
 * their effect. */
TEST_F(RunService, ModuleOptionsInTwoWordsAndAnArgumentFileReachTheVirtualMachine) {
    harness::WriteText(control + "/jvm.args", "# the automatic module of packaged.jar\n--add-modules packaged\n");
    Install("Modern", {}, {"--add-opens", "java.base/java.lang=ALL-UNNAMED", "--module-path",
                           harness::JavaJar("packaged"), "@" + control + "/jvm.args"}, "", "PortServer");
    auto stored = harness::RegistryGet("System\\CurrentControlSet\\Services\\Modern", "JavaOptions");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(harness::SplitMultiString(stored->data),
              (std::vector<std::string>{"--add-opens=java.base/java.lang=ALL-UNNAMED",
                                        "--module-path=" + harness::JavaJar("packaged"), "--add-modules=packaged",
                                        "-Djava.class.path=" + harness::JavaClasses()}));
    ASSERT_EQ(0, Run({"Modern", "/start"}).exitCode) << Log();
    ASSERT_GT(AwaitServerPort(), 0) << Log();
    std::string started = harness::ReadText(control + "/started");
    EXPECT_NE(started.find("arg --add-opens=java.base/java.lang=ALL-UNNAMED\n"), std::string::npos) << started;
    EXPECT_NE(started.find("module packaged\n"), std::string::npos) << started;
    EXPECT_NE(started.find("opens java.lang\n"), std::string::npos) << started;
    EXPECT_EQ(0, Run({"Modern", "/stop"}).exitCode);
}

/* A server whose shutdown hook never returns, so System.exit(0) never ends
 * the VM: the stop runs out its Timeout, and the forced end is a failure that
 * the log, the STOPPED status and /stop's exit code all tell. */
TEST_F(RunService, AStopThatRunsOutItsTimeoutIsForcedAndReportedAsAFailure) {
    Install("Stubborn", {"/timeout:4000"}, {}, "", "PortServer");
    ASSERT_EQ(0, Run({"Stubborn", "/start"}).exitCode);
    int port = AwaitServerPort();
    ASSERT_TRUE(port > 0 && harness::PortAnswers(port)) << Log();
    Tell("hang");
    auto stop = Run({"Stubborn", "/stop"});
    EXPECT_EQ(10, stop.exitCode) << stop.out << stop.err;
    EXPECT_NE(stop.out.find("Stubborn stopped."), std::string::npos) << stop.out << stop.err;
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryStatus("Stubborn", &status));
    EXPECT_EQ((unsigned)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ((unsigned)ERROR_SERVICE_SPECIFIC_ERROR, status.dwWin32ExitCode);
    EXPECT_EQ(10u, status.dwServiceSpecificExitCode);
    EXPECT_TRUE(LogHas("ERROR: The application did not end within 4000 ms of the stop request; it is ended by "
                       "force with exit code 10\r\n"))
        << Log();
    EXPECT_TRUE(harness::FileExists(control + "/hook"));
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::PortAnswers(port); }, 20));
}

/* Each start that fails before the application runs says why in the log,
 * leaves no pipe behind, and stops with its reason (1066 and the code), which
 * /start passes on: a failure of the configuration, which the controller's
 * recovery actions must not restart into again and again. */
TEST_F(RunService, AFailedStartSaysWhyStopsWithItsReasonAndLeavesNothingBehind) {
    std::string classes = harness::MakeTempDirectory("pelorim-classes");
    harness::WriteText(classes + "/LongRunning.class", harness::ReadText(harness::JavaClasses() + "/LongRunning.class"));
    Install("Gone", {}, {}, classes);
    ASSERT_EQ(0, unlink((classes + "/LongRunning.class").c_str()));
    auto stoppedWith = [&](unsigned code) {
        SERVICE_STATUS status = {};
        return QueryStatus("Gone", &status) && status.dwCurrentState == SERVICE_STOPPED &&
               status.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR && status.dwServiceSpecificExitCode == code;
    };
    auto start = Run({"Gone", "/start"});
    EXPECT_EQ(4, start.exitCode) << start.out << start.err;
    EXPECT_NE(start.err.find("Gone failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_TRUE(AwaitLog("ERROR: Main class not found: LongRunning")) << Log();
    EXPECT_TRUE(stoppedWith(4));
    EXPECT_TRUE(LogHas("ERROR: Gone failed to start with exit code 4.\r\n")) << Log();
    EXPECT_TRUE(EventLogged("Gone failed to start with exit code 4."));
    EXPECT_TRUE(Fifos().empty());
    /* Not a crash in the controller's records. */
    EXPECT_TRUE(harness::Query("SELECT 1 FROM eventlog WHERE event_id = 7034").empty());

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Gone", 0,
                                           KEY_ALL_ACCESS, &key));
    /* A virtual machine that gives up during its creation says why, in its own
     * words (on its standard output, so at Info), in a detached child as in
     * the service process; HotSpot then ends the process itself, after its
     * abort hook: a virtual machine not created (3), not a runtime not found
     * (1), and a failed start all the same. */
    const char heapTooSmall[] = "-Xmx1k\0";
    RegSetValueExA(key, "JavaOptions", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE *>(heapTooSmall),
                   sizeof heapTooSmall);
    for (DWORD detached : {1u, 0u}) {
        RegSetValueExA(key, "CreateProcess", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&detached),
                       sizeof detached);
        unlink(logFile.c_str());
        start = Run({"Gone", "/start"});
        EXPECT_EQ(3, start.exitCode) << detached << start.out << start.err << Log();
        EXPECT_TRUE(AwaitLog("INFO: Error occurred during initialization of VM\r\n")) << detached << Log();
        EXPECT_TRUE(AwaitLog("INFO: Too small maximum heap\r\n")) << detached << Log();
        EXPECT_TRUE(AwaitLog("ERROR: Could not create the Java virtual machine\r\n")) << detached << Log();
        EXPECT_TRUE(stoppedWith(3)) << detached;
    }
    RegDeleteValueA(key, "JavaOptions");
    DWORD number = 7;
    RegSetValueExA(key, "JavaMainClass", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number);
    EXPECT_EQ(4, Run({"Gone", "/start"}).exitCode);
    EXPECT_TRUE(AwaitLog("ERROR: Cannot start: this stored value holds no text: JavaMainClass\r\n")) << Log();
    RegDeleteValueA(key, "JavaMainClass");
    EXPECT_EQ(4, Run({"Gone", "/start"}).exitCode);
    EXPECT_TRUE(AwaitLog("ERROR: Cannot start: neither JavaMainClass nor JavaArchive is stored")) << Log();

    /* Never run elsewhere than in the application's own directory. */
    std::string missing = control + "/missing";
    RegSetValueExA(key, "CurrentDirectory", 0, REG_SZ, reinterpret_cast<const BYTE *>(missing.c_str()),
                   (DWORD)missing.size() + 1);
    RegCloseKey(key);
    start = Run({"Gone", "/start"});
    EXPECT_EQ(9, start.exitCode) << start.out << start.err;
    EXPECT_TRUE(AwaitLog("ERROR: Cannot enter the working directory " + missing + ": SetCurrentDirectory: ")) << Log();
    EXPECT_TRUE(stoppedWith(9));
    EXPECT_TRUE(Fifos().empty());
}

/* Events that exist before the service process creates them belong to another
 * process of the service (a child left from an earlier run, a /subprocess by
 * hand) and may be signalled: the start fails and says so. */
TEST_F(RunService, AStartFailsWhileAnotherProcessHoldsTheServicesEvents) {
    Install("Held", {});
    for (const char *kind : {"QUIT", "STOP"}) {
        std::string name = std::string("PELORIM_Held_") + kind + "_EVENT";
        HANDLE held = CreateEventA(NULL, TRUE, TRUE, name.c_str());
        ASSERT_NE(held, (HANDLE)NULL);
        auto start = Run({"Held", "/start"});
        EXPECT_NE(start.err.find("Held failed to start."), std::string::npos) << start.out << start.err;
        EXPECT_EQ(9, start.exitCode);
        EXPECT_TRUE(AwaitLog("ERROR: Event " + name + " already exists: another process of this service still holds it\r\n"))
            << Log();
        CloseHandle(held);
    }
    EXPECT_FALSE(harness::FileExists(control + "/started"));
    EXPECT_EQ(0, Run({"Held", "/start"}).exitCode);
}

/* Another process serves the service's STDOUT pipe and is its own client. */
PROCESS_INFORMATION HoldOutputPipe(const std::string &service) {
    std::string pipe = "\\\\.\\PIPE\\PELORIM_" + service + "_STDOUT";
    std::string line =
        "\"" + harness::SupportProgram("childtool") + "\" serve " + pipe + " pipeopen " + pipe + " sleep 60000";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION holder = {};
    EXPECT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, DETACHED_PROCESS, NULL, NULL, &startup, &holder));
    EXPECT_TRUE(harness::WaitFor(
        [&] {
            HANDLE client = CreateFileA(pipe.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
            return client == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY;
        },
        10));
    return holder;
}

void EndHolder(PROCESS_INFORMATION &holder) {
    TerminateProcess(holder.hProcess, 1);
    WaitForSingleObject(holder.hProcess, 10000);
    CloseHandle(holder.hProcess);
    CloseHandle(holder.hThread);
}

/* The pipe's one instance is taken (another process serves the name and is its
 * client): the service cannot create its output pipes, so the start fails
 * before the application runs, naming the system's refusal, and leaves no file
 * under the pipes' directory. (That an open of an unserved pipe fails at once
 * and creates no file is a property of the platform, tested there.) */
TEST_F(RunService, AnOutputPipeThatIsTakenFailsTheStart) {
    Install("Taken", {});
    PROCESS_INFORMATION holder = HoldOutputPipe("Taken");
    auto start = Run({"Taken", "/start"});
    EXPECT_NE(start.err.find("Taken failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_TRUE(AwaitLog("ERROR: CreateNamedPipe: ")) << Log();
    EXPECT_TRUE(LogHas("(231)")) << Log();
    EXPECT_FALSE(harness::FileExists(control + "/started"));
    EndHolder(holder);
    std::string files = harness::Run("/usr/bin/find", {root + "/pipes", "-type", "f"}).out;
    EXPECT_EQ("", files);
}

TEST_F(RunService, QuietServiceLogsNothingButTheServiceRecords) {
    Install("Hush", {"/quiet", "/debug:2"});
    size_t before = harness::EventLog().size();
    ASSERT_EQ(0, Run({"Hush", "/start"}).exitCode);
    Tell("out", "not to be seen\n");
    ASSERT_TRUE(harness::WaitFor([&] { return !harness::FileExists(control + "/out"); }, 10));
    ASSERT_EQ(0, Run({"Hush", "/stop"}).exitCode);
    EXPECT_EQ("", Log());
    std::vector<std::string> records;
    auto events = harness::EventLog();
    for (size_t i = before; i < events.size(); i++) records.push_back(events[i].message);
    EXPECT_EQ((std::vector<std::string>{banner, "Hush was started.", "Hush was stopped."}), records);
}

TEST_F(RunService, DebugLevelZeroKeepsErrorsAndTheApplicationsOutputOnly) {
    Install("Terse", {"/debug:0"});
    ASSERT_EQ(0, Run({"Terse", "/start"}).exitCode);
    Tell("out", "still shown\n");
    EXPECT_TRUE(AwaitLog("INFO: still shown\r\n"));
    ASSERT_EQ(0, Run({"Terse", "/stop"}).exitCode);
    std::string log = Log();
    EXPECT_EQ(log.find("WARNING: "), std::string::npos) << log;
    EXPECT_EQ(log.find("INFO: Invoking System.exit(0)"), std::string::npos) << log;
}

TEST_F(RunService, ConsoleEventsAreAnsweredForTheService) {
    /* The virtual machine prints a thread dump to its own output; copied to a file here. */
    std::string vmLog = control + "/vm.log";
    Install("Signals", {"/debug:2"}, {"-XX:+UnlockDiagnosticVMOptions", "-XX:+LogVMOutput", "-XX:LogFile=" + vmLog});
    ASSERT_EQ(0, Run({"Signals", "/start"}).exitCode);
    long long pid = ServicePid("Signals");
    ASSERT_GT(pid, 0);

    kill((pid_t)pid, SIGINT);
    kill((pid_t)pid, SIGHUP);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_TRUE(IsState("Signals", SERVICE_RUNNING));
    EXPECT_TRUE(Alive(pid));

    /* Ctrl+Break is passed on to the virtual machine, which answers with a
     * thread dump on its standard output, and so in the log. */
    kill((pid_t)pid, SIGQUIT);
    EXPECT_TRUE(harness::WaitFor([&] {
        return harness::FileExists(vmLog) && harness::ReadText(vmLog).find("Full thread dump") != std::string::npos;
    }, 20));
    EXPECT_TRUE(AwaitLog("INFO: Full thread dump")) << Log();
    EXPECT_TRUE(IsState("Signals", SERVICE_RUNNING));
    EXPECT_TRUE(Alive(pid));

    /* The system's shutdown runs the Java shutdown. */
    kill((pid_t)pid, SIGTERM);
    EXPECT_TRUE(AwaitState("Signals", SERVICE_STOPPED));
    EXPECT_TRUE(LogHas("INFO: Invoking System.exit(0)")) << Log();
}

/* A relative PELORIM_ROOT is taken from where the command runs; the service
 * and its detached child, which run elsewhere and are given the installing
 * console's environment again, find the same machine. */
TEST_F(RunService, ARelativeRootNamesOneMachineForEveryProcess) {
    harness::RunOptions options;
    options.directory = control;
    options.environment = {{"PELORIM_ROOT", "../" + root.substr(root.rfind('/') + 1)}};
    ASSERT_EQ(0, mkdir((control + "/elsewhere").c_str(), 0700));
    std::vector<std::string> install = {"Near", "/install", "/detach", "/cwd:" + control + "/elsewhere",
                                        "/logfile:" + logFile, "-cp", harness::JavaClasses(), "LongRunning", control};
    ASSERT_EQ(0, harness::RunPelorim(install, options).exitCode);
    installed.push_back("Near");
    auto start = harness::RunPelorim({"Near", "/start"}, options);
    EXPECT_EQ(0, start.exitCode) << start.out << start.err;
    EXPECT_TRUE(IsState("Near", SERVICE_RUNNING));
    auto stop = harness::RunPelorim({"Near", "/stop"}, options);
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Near", SERVICE_STOPPED));
}

/* A root moved elsewhere after the install (or restored from a backup): the
 * stored environment still names the old place, yet the detached child and
 * the shutdown command run in the root the service runs in, and nothing is
 * set up at the old place. */
TEST_F(RunService, AMovedRootKeepsEveryProcessOfTheServiceInIt) {
    std::string old = harness::MakeTempDirectory("pelorim-old-root");
    std::string script = control + "/stop.sh";
    harness::WriteText(script, "#!/bin/sh\necho \"$PELORIM_ROOT\" > " + control + "/stop-root\ntouch " + control + "/stop\n");
    ASSERT_EQ(0, chmod(script.c_str(), 0755));
    harness::RunOptions options;
    options.directory = control;
    options.environment = {{"PELORIM_ROOT", old}};
    auto install = harness::RunPelorim({"Moved", "/install", "/detach", "/shutdownCommand:" + script,
                                        "/logfile:" + logFile, "-cp", harness::JavaClasses(), "LongRunning", control},
                                       options);
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    ASSERT_EQ(0, rmdir(root.c_str()));
    ASSERT_EQ(0, rename(old.c_str(), root.c_str()));
    installed.push_back("Moved");

    auto start = Run({"Moved", "/start"});
    EXPECT_EQ(0, start.exitCode) << start.out << start.err << Log();
    EXPECT_TRUE(IsState("Moved", SERVICE_RUNNING));
    auto stop = Run({"Moved", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Moved", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Moved"));
    EXPECT_EQ(root + "\n", harness::ReadText(control + "/stop-root"));
    EXPECT_FALSE(harness::FileExists(old));
}

unsigned long long FreeBytes(const std::string &directory) {
    struct statvfs space = {};
    return statvfs(directory.c_str(), &space) == 0 ? (unsigned long long)space.f_bavail * space.f_frsize : 0;
}

/* The root on a small tmpfs in a mount namespace of the test's own; false
 * (with the reason) where the test may not make one. */
bool MountSmallRoot(const std::string &root, std::string *reason) {
    if (unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        mount("tmpfs", root.c_str(), "tmpfs", 0, "size=16m,mode=0700") == 0)
        return true;
    *reason = std::string("skipped: no tmpfs of the test's own for the root here (needs root or CAP_SYS_ADMIN): ") +
              strerror(errno);
    return false;
}

class FullDisk : public RunService {
  protected:
    /* The application writes until the root's file system has stopped filling. */
    void FillTheDisk() {
        std::string lines;
        while (lines.size() < (1u << 20)) lines += std::string(99, 'x') + "\n";
        for (int round = 0; round < 36; round++) {
            Tell("out", lines);
            ASSERT_TRUE(harness::WaitFor([&] { return !harness::FileExists(control + "/out"); }, 60));
        }
        unsigned long long free = FreeBytes(root);
        EXPECT_TRUE(harness::WaitFor(
            [&] {
                unsigned long long before = free;
                free = FreeBytes(root);
                return free == before;
            },
            30));
        EXPECT_LT(free, 4ull << 20);
    }

    /* The stop is followed to its end and recorded as a stop, not as a crash. */
    void ExpectACleanStop(const std::string &name) {
        auto stop = Run({name, "/stop"});
        EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
        EXPECT_NE(stop.out.find(name + " stopped."), std::string::npos) << stop.out << stop.err;
        ASSERT_TRUE(AwaitState(name, SERVICE_STOPPED));
        EXPECT_EQ(0u, ExitCodeOf(name));
        EXPECT_TRUE(harness::Query("SELECT 1 FROM eventlog WHERE event_id = 7034").empty());
    }
};

/* The service's own records fill the root's file system: in event-log mode
 * the records themselves; with a log file on that file system, the file. The
 * controller's state still has room, and so does the shutdown command's
 * mutex, made only at the stop. */
TEST_F(FullDisk, RecordsThatFillTheRootsDiskLeaveRoomForTheStop) {
    std::string reason;
    if (!MountSmallRoot(root, &reason)) GTEST_SKIP() << reason;
    auto install = Run({"Full", "/install", "-cp", harness::JavaClasses(), "LongRunning", control});
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    installed.push_back("Full");
    ASSERT_EQ(0, Run({"Full", "/start"}).exitCode);
    FillTheDisk();
    ExpectACleanStop("Full");
}

TEST_F(FullDisk, ALogFileThatFillsTheRootsDiskLeavesRoomForTheStop) {
    std::string reason;
    if (!MountSmallRoot(root, &reason)) GTEST_SKIP() << reason;
    ASSERT_EQ(0, mkdir((root + "/logs").c_str(), 0700));
    logFile = root + "/logs/service.log";
    Install("Filled", {"/shutdownCommand:touch " + control + "/stop"});
    ASSERT_EQ(0, Run({"Filled", "/start"}).exitCode);
    FillTheDisk();
    ExpectACleanStop("Filled");
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
}

/* The root's disk filled from outside before the first install: the install
 * says so and fails (9), rather than dying at the first write to a kernel
 * object's page. */
TEST_F(FullDisk, AnInstallOnAFullDiskFailsAsAFailedSystemOperation) {
    std::string reason;
    if (!MountSmallRoot(root, &reason)) GTEST_SKIP() << reason;
    harness::WriteText(root + "/filler", std::string(16u << 20, 'f'));
    EXPECT_LT(FreeBytes(root), 64u << 10);
    auto install = Run({"Late", "/install", "-cp", harness::JavaClasses(), "LongRunning", control});
    EXPECT_EQ(9, install.exitCode) << install.out << install.err;
    EXPECT_NE(install.err.find("Cannot install: CreateMutex: "), std::string::npos) << install.err;
    EXPECT_NE(install.err.find("(112)"), std::string::npos) << install.err;
}

/* A service takes no stop while it starts; the console says so, as a failure. */
TEST_F(RunService, AStopWhileStartingIsRefusedAsNotYetPossible) {
    Install("Early", {"/startup:startingForever", "/timeout:10000"});
    std::thread start([&] { Run({"Early", "/start"}); });
    ASSERT_TRUE(AwaitState("Early", SERVICE_START_PENDING, 20));
    auto stop = Run({"Early", "/stop"});
    EXPECT_EQ(9, stop.exitCode);
    EXPECT_NE(stop.err.find("Service Early is starting and cannot accept a stop yet"), std::string::npos) << stop.err;
    EXPECT_EQ(stop.err.find("not running"), std::string::npos) << stop.err;
    start.join();
}


/* /install /start together; the stored interactive flag decides at start: the
 * service gets a console (without a false title error) instead of the pipes. */
TEST_F(RunService, AnInteractiveServiceInstalledAndStartedAtOnceWritesToItsConsole) {
    auto install = Run({"Desk", "/install", "/start", "/interact", "/debug:2", "/logfile:" + logFile, "-cp",
                        harness::JavaClasses(), "LongRunning", control});
    installed.push_back("Desk");
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    EXPECT_NE(install.out.find("Desk installed.\nStarting Desk"), std::string::npos) << install.out;
    EXPECT_NE(install.out.find("Desk started.\n"), std::string::npos) << install.out;
    EXPECT_TRUE(IsState("Desk", SERVICE_RUNNING));
    Tell("out", "to the console\n");
    ASSERT_TRUE(harness::WaitFor([&] { return !harness::FileExists(control + "/out"); }, 10));
    ASSERT_EQ(0, Run({"Desk", "/stop"}).exitCode);
    std::string log = Log();
    EXPECT_EQ(log.find("to the console"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR: "), std::string::npos) << log;
    EXPECT_TRUE(Fifos().empty());
}

/* The program in a directory whose name holds a blank, on a path longer than
 * 259 characters: stored in full and quoted, so that the controller and the
 * detached child run this very file. */
TEST_F(RunService, AProgramOnALongPathWithABlankInstallsStartsStopsAndUninstalls) {
    std::string directory = control + "/Program Files/" + std::string(150, 'p');
    ASSERT_EQ(0, mkdir((control + "/Program Files").c_str(), 0755));
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    std::string program = directory + "/pelorim";
    harness::WriteText(program, harness::ReadText(harness::PelorimExe()));
    ASSERT_EQ(0, chmod(program.c_str(), 0755));
    harness::RunOptions options;
    options.directory = control;
    auto run = [&](const std::vector<std::string> &arguments) { return harness::Run(program, arguments, options); };

    auto install = run({"Spaced", "/install", "/start", "/detach", "/logfile:" + logFile, "-cp",
                        harness::JavaClasses(), "LongRunning", control});
    installed.push_back("Spaced");
    ASSERT_EQ(0, install.exitCode) << install.out << install.err;
    auto imagePath = harness::RegistryGet("System\\CurrentControlSet\\Services\\Spaced", "ImagePath");
    ASSERT_TRUE(imagePath);
    EXPECT_EQ(std::string(imagePath->data.c_str()), "\"" + program + "\" Spaced /service");
    Tell("out", "through a quoted path\n");
    EXPECT_TRUE(AwaitLog("INFO: through a quoted path\r\n")) << Log();
    ASSERT_EQ(1u, ChildProcesses().size());

    auto stop = run({"Spaced", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_EQ(0u, ExitCodeOf("Spaced"));
    auto uninstall = run({"Spaced", "/uninstall"});
    EXPECT_EQ(0, uninstall.exitCode) << uninstall.out << uninstall.err;
    EXPECT_FALSE(harness::RegistryGet("System\\CurrentControlSet\\Services\\Spaced", "ImagePath"));
}

} // namespace

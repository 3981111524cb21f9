/* The main class at service start: how it is found, what main receives, and a
 * stop that reaches an application whose main has already returned. */
#include "runtime_fixture.h"

namespace {

class Launch : public RunningService {
  protected:
    /* /install with `javaCommandLine` after the log file switch. */
    void InstallCommandLine(const std::string &name, const std::vector<std::string> &javaCommandLine) {
        std::vector<std::string> arguments = {name, "/install", "/logfile:" + logFile, "/debug:2"};
        arguments.insert(arguments.end(), javaCommandLine.begin(), javaCommandLine.end());
        harness::RunResult result = Run(arguments);
        ASSERT_EQ(0, result.exitCode) << result.out << result.err;
        installed.push_back(name);
    }
};

TEST_F(Launch, ADottedMainClassGetsEveryArgumentAsOneString) {
    std::string file = control + "/args";
    InstallCommandLine("Dotted", {"-cp", harness::JavaClasses(), "org.pelorim.test.PackagedMain", file, "b c",
                                  " ", "-verbose", "/quiet"});
    /* The application may end before /start sees it running. */
    Run({"Dotted", "/start"});
    ASSERT_TRUE(harness::WaitFor([&] { return harness::FileExists(file); }, 20)) << Log();
    EXPECT_EQ(file + "\nb c\n \n-verbose\n/quiet\n", harness::ReadText(file));
    /* main returned and nothing else runs: the application ends and the service with it. */
    ASSERT_TRUE(AwaitState("Dotted", SERVICE_STOPPED)) << Log();
    EXPECT_EQ(0u, ExitCodeOf("Dotted"));
}

TEST_F(Launch, AnArchiveStartsItsMainClassAttribute) {
    std::string file = control + "/args";
    InstallCommandLine("Archived", {"-jar", harness::JavaJar("packaged"), file, "x"});
    Run({"Archived", "/start"});
    ASSERT_TRUE(harness::WaitFor([&] { return harness::FileExists(file); }, 20)) << Log();
    EXPECT_EQ(file + "\nx\n", harness::ReadText(file));
    ASSERT_TRUE(AwaitState("Archived", SERVICE_STOPPED)) << Log();
}

TEST_F(Launch, AnArchiveGoneAtServiceStartEndsWithItsError) {
    std::string jar = control + "/app.jar";
    harness::WriteText(jar, harness::ReadText(harness::JavaJar("long-running")));
    InstallCommandLine("NoJar", {"-jar", jar, control});
    ASSERT_EQ(0, unlink(jar.c_str()));
    auto start = Run({"NoJar", "/start"});
    EXPECT_NE(start.err.find("NoJar failed to start."), std::string::npos) << start.out << start.err;
    EXPECT_TRUE(AwaitLog("ERROR: Failed to load Main-Class manifest attribute from " + jar)) << Log();
    ASSERT_TRUE(AwaitState("NoJar", SERVICE_STOPPED));
}

/* main has returned and the VM waits for the worker inside DestroyJavaVM: the
 * VM is still live, so the stop must reach it. */
TEST_F(Launch, AStopReachesAnApplicationWhoseMainHasReturned) {
    Install("Worker", {"/debug:2"}, {}, "", "BackgroundWorker");
    ASSERT_EQ(0, Run({"Worker", "/start"}).exitCode);
    Tell("out", "working\n");
    EXPECT_TRUE(AwaitLog("INFO: working")) << Log();
    auto stop = Run({"Worker", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Worker", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Worker"));
    EXPECT_TRUE(LogHas("INFO: Invoking System.exit(0)")) << Log();
    EXPECT_FALSE(LogHas("No Java VM is running")) << Log();
}

TEST_F(Launch, AShutdownMethodEndsTheWorkerAndTheVmUnloads) {
    Install("PoliteWorker", {"/debug:2", "/shutdown:stopNow"}, {}, "", "BackgroundWorker");
    ASSERT_EQ(0, Run({"PoliteWorker", "/start"}).exitCode);
    auto stop = Run({"PoliteWorker", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("PoliteWorker", SERVICE_STOPPED));
    EXPECT_EQ("stopNow\n", harness::ReadText(control + "/shutdown"));
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
    EXPECT_FALSE(LogHas("Invoking System.exit(0)")) << Log();
}

} // namespace

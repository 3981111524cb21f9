/* The stored settings that every run applies before its action: environment,
 * working directory, debug level, log file and event logging. The values are
 * put into the service's key through the registry API first. */
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string keyPath = "System\\CurrentControlSet\\Services\\Svc";

class StartupSettings : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        runDirectory = harness::MakeTempDirectory("run");
    }

    static void Store(const char *name, DWORD type, const std::string &bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void StoreText(const char *name, const std::string &text) { Store(name, REG_SZ, text + '\0'); }
    static void StoreNumber(const char *name, DWORD value) {
        Store(name, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), 4));
    }

    /* Runs the program for the service Svc in runDirectory. */
    harness::RunResult RunSvc(std::vector<std::string> arguments, harness::RunOptions options = {}) {
        arguments.insert(arguments.begin(), "Svc");
        if (options.directory.empty()) options.directory = runDirectory;
        return harness::RunPelorim(arguments, options);
    }

    /* A console run in service mode fails to reach the dispatcher and logs
     * that as its one error; where the line lands shows the settings. */
    harness::RunResult RunServiceModeFromConsole(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), "/service");
        auto result = RunSvc(arguments);
        EXPECT_EQ(result.exitCode, 9);
        EXPECT_EQ(result.out, "");
        return result;
    }

    static bool HoldsDispatcherLine(const std::string &file) {
        if (!harness::FileExists(file)) return false;
        static const std::regex line("[A-Z][a-z]+ [0-3][0-9], [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9] "
                                     "ERROR: StartServiceCtrlDispatcher: [^\r\n]+ \\(1063\\)\r\n");
        return std::regex_match(harness::ReadText(file), line);
    }

    std::string runDirectory;
};

TEST_F(StartupSettings, StoredDirectoryWinsOverCwdAndHoldsTheRelativeLogFile) {
    std::string stored = harness::MakeTempDirectory("stored");
    std::string cwd = harness::MakeTempDirectory("cwd");
    StoreText("CurrentDirectory", stored);
    StoreText("LogFile", "relative.log");
    RunServiceModeFromConsole({"/cwd:" + cwd});
    EXPECT_TRUE(HoldsDispatcherLine(stored + "/relative.log"));
    EXPECT_FALSE(harness::FileExists(cwd + "/relative.log"));
    EXPECT_FALSE(harness::FileExists(runDirectory + "/relative.log"));
    EXPECT_TRUE(harness::EventLog().empty());
}

/* A relative log file would land wherever the process was left: the service
 * logs to the event log instead. An absolute one is kept. */
TEST_F(StartupSettings, AStoredDirectoryThatCannotBeEnteredTakesNoRelativeLogFile) {
    std::string cwd = harness::MakeTempDirectory("cwd");
    StoreText("CurrentDirectory", runDirectory + "/missing");
    StoreText("LogFile", "here.log");
    RunServiceModeFromConsole({"/cwd:" + cwd});
    EXPECT_FALSE(harness::FileExists(runDirectory + "/here.log"));
    EXPECT_FALSE(harness::FileExists(cwd + "/here.log"));
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message.rfind("StartServiceCtrlDispatcher: ", 0), 0u) << events[0].message;

    StoreText("LogFile", cwd + "/absolute.log");
    RunServiceModeFromConsole();
    EXPECT_TRUE(HoldsDispatcherLine(cwd + "/absolute.log"));
}

TEST_F(StartupSettings, CwdIsEnteredWhenNoDirectoryIsStored) {
    std::string cwd = harness::MakeTempDirectory("cwd");
    RunServiceModeFromConsole({"/cwd:" + cwd, "/logfile"});
    EXPECT_TRUE(HoldsDispatcherLine(cwd + "/Svc_Event.log"));
    EXPECT_FALSE(harness::FileExists(runDirectory + "/Svc_Event.log"));
}

TEST_F(StartupSettings, CommandLineLogFileWinsOverTheStoredOne) {
    std::string other = harness::MakeTempDirectory("logs");
    StoreText("LogFile", other + "/stored.log");
    RunServiceModeFromConsole({"/logfile:" + other + "/named.log"});
    EXPECT_TRUE(HoldsDispatcherLine(other + "/named.log"));
    RunServiceModeFromConsole({"/logfile"});
    EXPECT_TRUE(HoldsDispatcherLine(runDirectory + "/Svc_Event.log"));
    EXPECT_FALSE(harness::FileExists(other + "/stored.log"));
    RunServiceModeFromConsole();
    EXPECT_TRUE(HoldsDispatcherLine(other + "/stored.log"));
}

TEST_F(StartupSettings, WithoutLogFileServiceMessagesGoToTheEventLog) {
    RunServiceModeFromConsole({"/quiet"});
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, "Svc");
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].eventId, 0xC0000001ul);
    EXPECT_EQ(events[0].message.rfind("StartServiceCtrlDispatcher: ", 0), 0u) << events[0].message;
}

TEST_F(StartupSettings, StoredEventLoggingAndDebugLevelSilenceServiceMode) {
    StoreNumber("EventLogging", 0);
    StoreText("LogFile", "quiet.log");
    RunServiceModeFromConsole();
    EXPECT_TRUE(harness::EventLog().empty());
    EXPECT_FALSE(harness::FileExists(runDirectory + "/quiet.log"));

    StoreNumber("EventLogging", 1);
    StoreNumber("DebugLevel", 0xFFFFFFFF);
    RunServiceModeFromConsole();
    EXPECT_TRUE(harness::EventLog().empty());
    EXPECT_FALSE(harness::FileExists(runDirectory + "/quiet.log"));
}

TEST_F(StartupSettings, DebugLevelComesFromTheKeyOutsideInstall) {
    const std::string detail = "EventLogging not specified (default = 1)\n";
    auto fromSwitch = RunSvc({"/start", "/debug:2"});
    EXPECT_EQ(fromSwitch.err.find(detail), std::string::npos) << fromSwitch.err;
    EXPECT_EQ(fromSwitch.err.find("\r\n\t"), std::string::npos) << fromSwitch.err;

    StoreNumber("DebugLevel", 2);
    auto stored = RunSvc({"/start", "/debug:0"});
    EXPECT_NE(stored.err.find(detail), std::string::npos) << stored.err;
    EXPECT_NE(stored.err.find("\r\n\tLogFile\n"), std::string::npos) << stored.err;
}

TEST_F(StartupSettings, UnderInstallTheDebugSwitchWins) {
    const std::string logFileWarning = "\r\n\tLogFile\n";
    auto raised = RunSvc({"/install", "/debug:2"});
    EXPECT_NE(raised.err.find(logFileWarning), std::string::npos) << raised.err;
    EXPECT_EQ(raised.err.find("EventLogging not specified"), std::string::npos) << raised.err;

    StoreNumber("DebugLevel", 2);
    auto lowered = RunSvc({"/install", "/debug:0"});
    EXPECT_EQ(lowered.err.find(logFileWarning), std::string::npos) << lowered.err;
}

TEST_F(StartupSettings, SubprocessWithoutItsServiceIsIgnored) {
    /* Every value read is present, so that warnings show only the point. */
    StoreNumber("DebugLevel", 1);
    StoreNumber("EventLogging", 1);
    StoreNumber("CreateProcess", 0);
    StoreText("LogFile", "unused.log");
    auto plain = RunSvc({"/subprocess", "/help"});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err.rfind("/subprocess command ignored\nUsage: pelorim ", 0), 0u) << plain.err;

    StoreNumber("CreateProcess", 1);
    auto withoutMutex = RunSvc({"/subprocess", "/stop", "/start"});
    EXPECT_EQ(withoutMutex.exitCode, 8);
    EXPECT_EQ(withoutMutex.err, "/subprocess command ignored\nCommand conflict: /start vs. /stop\n");
}

/* The stored variables reach what the process loads: the probe virtual
 * machine of an install reads JAVA_TOOL_OPTIONS from the process environment. */
TEST_F(StartupSettings, StoredEnvironmentReplacesTheCallersVariables) {
    Store("Environment", REG_MULTI_SZ,
          std::string("WITHOUT_EQUALS\0JAVA_TOOL_OPTIONS=-Dpelorim.marker=stored\0=odd\0\0", 63));
    harness::RunOptions options;
    options.environment = {{"JAVA_HOME", harness::JavaHome()}, {"JAVA_TOOL_OPTIONS", "-Dfrom=caller"}};
    auto result = RunSvc({"/install", "-cp", harness::JavaClasses(), "NoMain"}, options);
    EXPECT_NE(result.err.find("Picked up JAVA_TOOL_OPTIONS: -Dpelorim.marker=stored"), std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("-Dfrom=caller"), std::string::npos) << result.err;
    EXPECT_LT(result.exitCode, 128);
}

} // namespace

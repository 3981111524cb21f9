/*
 * Stopping a service by a shutdown command line: the command's output in the
 * log, the shell prefix, a command that outlives the application, no second
 * command when the system's shutdown meets the stop, and a command line too
 * long to run.
 */
#include <regex>
#include <thread>
#include <vector>

#include "runtime_fixture.h"

namespace {

class ShutdownCommand : public RunningService {
  protected:
    /* An executable script in the control directory. */
    std::string Script(const std::string &name, const std::string &body) {
        std::string path = control + "/" + name;
        harness::WriteText(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
        return path;
    }
    /* Pipe inodes (as "pipe:[N]") of the descriptors the script listed that are open for reading. */
    static std::vector<std::string> ReadablePipes(const std::string &listing) {
        std::vector<std::string> readable;
        std::regex line("(\\d+) (pipe:\\[\\d+\\]) (\\d+)");
        for (std::sregex_iterator it(listing.begin(), listing.end(), line), end; it != end; ++it)
            if ((std::stoul((*it)[3].str(), nullptr, 8) & 3) == 0) readable.push_back((*it)[2].str());
        return readable;
    }
    static std::string TargetOf(const std::string &listing, int fd) {
        std::smatch match;
        std::regex line("(^|\n)" + std::to_string(fd) + " (\\S+)");
        return std::regex_search(listing, match, line) ? match[2].str() : "";
    }
};

const char *listDescriptors =
    "for f in /proc/$$/fd/*; do n=${f##*/}; "
    "echo \"$n $(readlink $f) $(sed -n 's/^flags:[[:space:]]*//p' /proc/$$/fdinfo/$n)\"; done > \"$(dirname \"$0\")/fds\"\n";

TEST_F(ShutdownCommand, AScriptStopsTheApplicationWithItsOutputLogged) {
    std::string script = Script("stop.sh", std::string(listDescriptors) +
                                               "echo asked to stop\necho complaint >&2\ntouch \"$(dirname \"$0\")/stop\"\n");
    Install("Cmd", {"/debug:2", "/shutdownCommand:" + script});
    ASSERT_EQ(0, Run({"Cmd", "/start"}).exitCode);
    auto stop = Run({"Cmd", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_TRUE(IsState("Cmd", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Cmd"));
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
    std::string log = Log();
    EXPECT_NE(log.find("INFO: Launching Shutdown Command: CMD.EXE /C " + script + "\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: asked to stop\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR: complaint\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: StdOutPipeReader finished\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO: StdErrPipeReader finished\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("ShutdownMethod not specified"), std::string::npos) << log;

    /* The command holds only the write ends of its pipes. */
    std::string fds = harness::ReadText(control + "/fds");
    std::string errorPipe = TargetOf(fds, 2);
    ASSERT_EQ(0u, errorPipe.rfind("pipe:", 0)) << fds;
    for (const auto &pipe : ReadablePipes(fds)) EXPECT_NE(pipe, errorPipe) << fds;
    EXPECT_TRUE(Fifos().empty());
}

TEST_F(ShutdownCommand, AnExecutableImageByFullPathRunsWithoutTheShell) {
    std::string script = Script("stop.sh", "touch \"$(dirname \"$0\")/stop\"\n");
    std::string command = "/bin/sh " + script;
    Install("Image", {"/debug:2", "/shutdownCommand:" + command});
    ASSERT_EQ(0, Run({"Image", "/start"}).exitCode);
    EXPECT_EQ(0, Run({"Image", "/stop"}).exitCode);
    EXPECT_TRUE(IsState("Image", SERVICE_STOPPED));
    EXPECT_TRUE(LogHas("INFO: Launching Shutdown Command: " + command + "\r\n")) << Log();
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
}

/* A bare name is for the system to find on the PATH: its absence here is no
 * error. A path that names no file is. */
TEST_F(ShutdownCommand, AFirstWordNamingNoFileRunsThroughTheShellAndOnlyAMissingPathIsAnError) {
    std::string command = "touch " + control + "/stop";
    Install("Plain", {"/debug:2", "/shutdownCommand:" + command});
    ASSERT_EQ(0, Run({"Plain", "/start"}).exitCode);
    EXPECT_EQ(0, Run({"Plain", "/stop"}).exitCode);
    EXPECT_TRUE(IsState("Plain", SERVICE_STOPPED));
    EXPECT_TRUE(std::regex_search(Log(), std::regex("INFO: stat: [^\r\n]+ \\(2\\)\r\n"))) << Log();
    EXPECT_FALSE(LogHas("ERROR: ")) << Log();
    EXPECT_TRUE(LogHas("INFO: Launching Shutdown Command: CMD.EXE /C " + command + "\r\n")) << Log();
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));

    ASSERT_EQ(0, Run({"Plain", "/uninstall"}).exitCode);
    ASSERT_EQ(0, unlink((control + "/started").c_str()));
    Install("Plain", {"/shutdownCommand:" + control + "/missing.sh; " + command});
    ASSERT_EQ(0, Run({"Plain", "/start"}).exitCode);
    EXPECT_EQ(0, Run({"Plain", "/stop"}).exitCode);
    EXPECT_TRUE(std::regex_search(Log(), std::regex("ERROR: stat: [^\r\n]+ \\(2\\)\r\n"))) << Log();
}

/* Values past 259 characters reach every reader whole: the working
 * directory, the log file in it, and a stop command with a long argument. */
TEST_F(ShutdownCommand, LongPathsAndALongCommandAreKeptWholeAndUsed) {
    std::string directory = control + "/" + std::string(150, 'd') + "/" + std::string(150, 'e');
    ASSERT_EQ(0, mkdir((control + "/" + std::string(150, 'd')).c_str(), 0755));
    ASSERT_EQ(0, mkdir(directory.c_str(), 0755));
    std::string script = Script("stop.sh", "echo \"$# ${#1}\" > \"$(dirname \"$0\")/stop-args\"\n"
                                           "touch \"$(dirname \"$0\")/stop\"\n");
    std::string command = script + " " + std::string(374 - script.size() - 1, 'a');
    std::string longLog = directory + "/service.log";
    Install("Long", {"/cwd:" + directory, "/logfile:" + longLog, "/shutdownCommand:" + command});
    ASSERT_EQ(0, Run({"Long", "/start"}).exitCode);
    EXPECT_EQ("user.dir=" + directory + "\n", harness::ReadText(control + "/started").substr(control.size() + 1));
    Tell("out", "into the long path\n");
    EXPECT_TRUE(harness::WaitFor([&] {
        return harness::FileExists(longLog) && harness::ReadText(longLog).find("INFO: into the long path\r\n") !=
                                                   std::string::npos;
    }, 20));
    EXPECT_EQ(0, Run({"Long", "/stop"}).exitCode);
    EXPECT_EQ(0u, ExitCodeOf("Long"));
    EXPECT_EQ("1 " + std::to_string(command.size() - script.size() - 1) + "\n", harness::ReadText(control + "/stop-args"));
    EXPECT_TRUE(harness::FileExists(control + "/main-returned"));
}

TEST_F(ShutdownCommand, ACommandOutlivingTheApplicationIsTerminated) {
    std::string script = Script("linger.sh", "echo 0 > \"$(dirname \"$0\")/exit\"\nexec sleep 120\n");
    Install("Linger", {"/debug:1", "/shutdownCommand:" + script});
    ASSERT_EQ(0, Run({"Linger", "/start"}).exitCode);
    double seconds = 0;
    auto stop = Timed({"Linger", "/stop"}, &seconds);
    EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err;
    EXPECT_LT(seconds, 60);
    EXPECT_TRUE(AwaitState("Linger", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Linger"));
    EXPECT_TRUE(LogHas("WARNING: Terminating Shutdown Command: CMD.EXE /C " + script + "\r\n")) << Log();
    /* Ending the command ends what its shell started (the script's sleep) too. */
    auto sleepersOfThisRoot = [&] {
        std::vector<pid_t> found;
        std::string sleepers = harness::Run("/usr/bin/pgrep", {"-x", "sleep"}).out;
        for (size_t at = 0; at < sleepers.size();) {
            size_t end = sleepers.find('\n', at);
            std::string pid = sleepers.substr(at, end - at);
            std::string environment = harness::ReadText("/proc/" + pid + "/environ");
            if (environment.find("PELORIM_ROOT=" + root) != std::string::npos) found.push_back((pid_t)std::stol(pid));
            at = end == std::string::npos ? end : end + 1;
        }
        return found;
    };
    EXPECT_TRUE(harness::WaitFor([&] { return sleepersOfThisRoot().empty(); }, 10));
    for (pid_t pid : sleepersOfThisRoot()) kill(pid, SIGKILL);
}

/* The system's shutdown while the stop's command runs finds the stop under
 * way: no second command runs, and the service stops as the stop has it. */
TEST_F(ShutdownCommand, AShutdownWhileTheStopsCommandRunsRunsNoSecond) {
    std::string script = Script("slow.sh", "echo run >> \"$(dirname \"$0\")/runs\"\nsleep 3\n"
                                           "touch \"$(dirname \"$0\")/stop\"\n");
    Install("Twice", {"/shutdownCommand:" + script});
    ASSERT_EQ(0, Run({"Twice", "/start"}).exitCode);
    long long pid = ServicePid("Twice");
    std::thread stop([&] { EXPECT_EQ(0, Run({"Twice", "/stop"}).exitCode); });
    ASSERT_TRUE(harness::WaitFor([&] { return harness::FileExists(control + "/runs"); }, 20));
    kill((pid_t)pid, SIGTERM);
    stop.join();
    EXPECT_TRUE(AwaitState("Twice", SERVICE_STOPPED));
    EXPECT_EQ(0u, ExitCodeOf("Twice"));
    EXPECT_EQ("run\n", harness::ReadText(control + "/runs"));
}

TEST_F(ShutdownCommand, ACommandLineTooLongForTheSystemIsRefusedNotCut) {
    Install("Long", {"/timeout:8000"});
    /* Stored as an administrator might, past what /shutdownCommand: takes. */
    std::string command = "touch " + control + "/stop #" + std::string(40000, 'x');
    HKEY key = NULL;
    ASSERT_EQ(ERROR_SUCCESS,
              RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\Long", 0, KEY_SET_VALUE, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "ShutdownCommand", 0, REG_SZ, (const BYTE *)command.c_str(),
                                            (DWORD)command.size() + 1));
    RegCloseKey(key);
    ASSERT_EQ(0, Run({"Long", "/start"}).exitCode);
    /* Nothing stops the application, so the stop is forced at Timeout. */
    EXPECT_EQ(10, Run({"Long", "/stop"}).exitCode);
    EXPECT_TRUE(AwaitState("Long", SERVICE_STOPPED));
    EXPECT_TRUE(LogHas("is longer than the 32766 the system accepts; not run")) << Log().substr(0, 2000);
    EXPECT_FALSE(LogHas("Launching Shutdown Command:"));
    EXPECT_FALSE(harness::FileExists(control + "/main-returned"));
}

} // namespace

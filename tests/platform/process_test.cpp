/* Processes where POSIX shows what Windows does not: the search of PATH, the
 * execute bit, sessions, the shell prefix, nice values, zombies and the job
 * keeper. What Win32 alone shows of them is held against Windows in
 * tests/conformance. */
#include <windows.h>

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <string>

#include "harness.h"

namespace {

std::string Tool() { return "\"" + harness::SupportProgram("childtool") + "\""; }

/* `text` as one quoted argument of a Windows command line (no backslashes in it). */
std::string Quoted(const std::string &text) {
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    return quoted + "\"";
}

/* Reads a pipe to its end: everything, and ReadFile's last error (109 expected). */
std::string ReadToEnd(HANDLE pipe, DWORD *lastError = nullptr) {
    std::string text;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, NULL)) text.append(buffer, got);
    if (lastError) *lastError = GetLastError();
    return text;
}

struct Child {
    PROCESS_INFORMATION info{};
    std::string out;
    DWORD exitCode = 0xDEADBEEF;
};

/* Starts `commandLine` with its standard handles on one inheritable pipe;
 * the caller closes *readEnd and the handles of *info. */
::testing::AssertionResult StartPiped(const std::string &commandLine, PROCESS_INFORMATION *info, HANDLE *readEnd,
                                      DWORD flags = 0, LPVOID environment = NULL, const char *directory = NULL) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE writeEnd;
    if (!CreatePipe(readEnd, &writeEnd, &inherit, 0)) return ::testing::AssertionFailure() << "CreatePipe";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = writeEnd;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::string line = commandLine;
    BOOL ok = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, flags, environment, directory, &startup, info);
    DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (!ok) {
        CloseHandle(*readEnd);
        return ::testing::AssertionFailure() << "CreateProcessA failed with " << error;
    }
    return ::testing::AssertionSuccess();
}

/* As StartPiped, then collects the output and waits for the end. */
::testing::AssertionResult RunCaptured(const std::string &commandLine, Child *child, DWORD flags = 0,
                                       LPVOID environment = NULL, const char *directory = NULL) {
    HANDLE readEnd;
    ::testing::AssertionResult started = StartPiped(commandLine, &child->info, &readEnd, flags, environment, directory);
    if (!started) return started;
    DWORD readError = 0;
    child->out = ReadToEnd(readEnd, &readError);
    CloseHandle(readEnd);
    if (readError != ERROR_BROKEN_PIPE) return ::testing::AssertionFailure() << "read ended with " << readError;
    if (WaitForSingleObject(child->info.hProcess, 10000) != WAIT_OBJECT_0)
        return ::testing::AssertionFailure() << "child did not end";
    GetExitCodeProcess(child->info.hProcess, &child->exitCode);
    return ::testing::AssertionSuccess();
}

void CloseChild(Child &child) {
    CloseHandle(child.info.hProcess);
    CloseHandle(child.info.hThread);
}

/* Starts `commandLine` with nothing inherited. */
::testing::AssertionResult Start(const std::string &commandLine, PROCESS_INFORMATION *info, DWORD flags = 0) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string line = commandLine;
    if (CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, flags, NULL, NULL, &startup, info))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "CreateProcessA failed with " << GetLastError();
}

DWORD StartFails(const std::string &commandLine, const char *directory = NULL) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string line = commandLine;
    SetLastError(0);
    if (CreateProcessA(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, directory, &startup, &info)) {
        WaitForSingleObject(info.hProcess, 10000);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
        return 0;
    }
    return GetLastError();
}

} // namespace

TEST(Process, ProgramIsFoundOnPathOrByRelativePath) {
    harness::MakeFreshRoot();
    Child viaPath;
    ASSERT_TRUE(RunCaptured("echo found on path", &viaPath));
    EXPECT_EQ(viaPath.out, "found on path\n");
    CloseChild(viaPath);

    std::string support = harness::SupportProgram("");
    Child relative;
    ASSERT_TRUE(RunCaptured("./childtool out relative", &relative, 0, NULL, support.c_str()));
    EXPECT_EQ(relative.out, "relative\n");
    CloseChild(relative);
}

/* A file without the execute bit is refused as Windows refuses what it may
 * not run; one with it that is no image is a bad image. */
TEST(Process, StartFailuresOfFilesThatAreNoProgram) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("bad");
    harness::WriteText(directory + "/plain.txt", "not a program\n");
    std::string garbage = directory + "/garbage";
    harness::WriteText(garbage, "\x01\x02\x03 not an image");
    Child chmod;
    ASSERT_TRUE(RunCaptured("chmod 755 \"" + garbage + "\"", &chmod));
    CloseChild(chmod);

    EXPECT_EQ(StartFails(directory + "/plain.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartFails(garbage), (DWORD)ERROR_BAD_EXE_FORMAT);
}

/* The primary thread cannot be ended alone: its handle gives up waiting with
 * the code, and the child runs on. */
TEST(Process, TerminateThreadOnThePrimaryThreadLeavesTheChildRunning) {
    harness::MakeFreshRoot();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &info));
    ASSERT_TRUE(TerminateThread(info.hThread, 10));
    EXPECT_EQ(WaitForSingleObject(info.hThread, 1000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 10u);
    Sleep(200);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    ASSERT_TRUE(TerminateProcess(info.hProcess, 5));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 10u);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

/* A suspended child that nothing can resume any more ends unrun and leaves
 * no zombie (Windows would keep it suspended for ever). */
TEST(Process, ASuspendedChildWithoutHandlesEndsUnrun) {
    harness::MakeFreshRoot();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &info, CREATE_SUSPENDED));
    ASSERT_TRUE(CloseHandle(info.hProcess));
    ASSERT_TRUE(CloseHandle(info.hThread));
    std::string status = "/proc/" + std::to_string(info.dwProcessId);
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::FileExists(status); }, 10));
}

TEST(Process, ProcessEndsWhileItsHandlesAreClosed) {
    harness::MakeFreshRoot();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " sleep 100", &info));
    ASSERT_TRUE(CloseHandle(info.hProcess));
    ASSERT_TRUE(CloseHandle(info.hThread));
    std::string status = "/proc/" + std::to_string(info.dwProcessId);
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::FileExists(status); }, 10)) << "child left a zombie";
}

TEST(Process, DetachedProcessHasItsOwnSessionWithoutTerminal) {
    harness::MakeFreshRoot();
    Child child;
    ASSERT_TRUE(RunCaptured(Tool() + " session tty title", &child, DETACHED_PROCESS));
    EXPECT_EQ(child.out, "leader\nnotty\ntitle failed 6\n");
    CloseChild(child);

    Child same;
    ASSERT_TRUE(RunCaptured(Tool() + " session", &same));
    EXPECT_EQ(same.out, "member\n");
    CloseChild(same);

    /* There is no console to create: a new console means a new session. */
    Child console;
    ASSERT_TRUE(RunCaptured(Tool() + " session tty", &console, CREATE_NEW_CONSOLE));
    EXPECT_EQ(console.out, "leader\nnotty\n");
    CloseChild(console);

    std::string answer = harness::MakeTempDirectory("detached") + "/answer";
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " devnull \"" + answer + "\" out lost", &info, DETACHED_PROCESS));
    ASSERT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(harness::ReadText(answer), "devnull\n");
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

TEST(Process, ShellPrefixRunsTheRestThroughTheShell) {
    harness::MakeFreshRoot();
    Child child;
    ASSERT_TRUE(RunCaptured("CMD.EXE /C echo one && echo \"two  three\" | tr t T; exit 5", &child));
    EXPECT_EQ(child.out, "one\nTwo  Three\n");
    EXPECT_EQ(child.exitCode, 5u);
    CloseChild(child);

    Child lower;
    ASSERT_TRUE(RunCaptured("cmd.exe /c " + Tool() + " err to-stderr >/dev/null", &lower));
    EXPECT_EQ(lower.out, "to-stderr\n");
    CloseChild(lower);

    /* A program of the layer that the shell started hands its exit code to no
     * one: ending after the shell and its reader are gone, it keeps its own. */
    std::string status = harness::MakeTempDirectory("pelorim-shell") + "/status";
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start("CMD.EXE /C (" + Tool() + " sleep 500 exitprocess 8; echo $? > " + status + ") &", &info));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 10000));
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    ASSERT_TRUE(harness::WaitFor([&] { return !harness::ReadText(status).empty(); }, 10));
    EXPECT_EQ("8\n", harness::ReadText(status)) << "141 is death by SIGPIPE";
}

/* A shell command is one unit, as a batch file is one cmd.exe process: ending
 * it ends what the shell started too, which would otherwise keep running. */
TEST(Process, TerminatingAShellCommandEndsWhatItStarted) {
    harness::MakeFreshRoot();
    std::string pidFile = harness::MakeTempDirectory("pelorim-shell") + "/pid";
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start("CMD.EXE /C sleep 300 & echo $! > " + pidFile + "; wait", &info, DETACHED_PROCESS));
    ASSERT_TRUE(harness::WaitFor([&] { return !harness::ReadText(pidFile).empty(); }, 10));
    pid_t grandchild = (pid_t)atoi(harness::ReadText(pidFile).c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, 10000));
    EXPECT_TRUE(harness::WaitFor([&] { return kill(grandchild, 0) != 0; }, 10)) << "the shell's command outlived it";
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

TEST(Process, PriorityClassesBecomeNiceValues) {
    harness::MakeFreshRoot();
    Child idle;
    ASSERT_TRUE(RunCaptured(Tool() + " nice", &idle, IDLE_PRIORITY_CLASS));
    EXPECT_EQ(idle.out, "19\n");
    CloseChild(idle);
    Child below;
    ASSERT_TRUE(RunCaptured(Tool() + " nice", &below, BELOW_NORMAL_PRIORITY_CLASS | DETACHED_PROCESS));
    EXPECT_EQ(below.out, "10\n");
    CloseChild(below);
    /* Raising needs privilege; without it the child gets the nearest it may. */
    Child high;
    ASSERT_TRUE(RunCaptured(Tool() + " nice", &high, HIGH_PRIORITY_CLASS));
    int nice = atoi(high.out.c_str());
    EXPECT_LE(nice, 0);
    EXPECT_GE(nice, -10);
    CloseChild(high);
}

/* A command's grandchildren keep the inherited pipe open: the reader sees the
 * end only when all of them have gone. */
TEST(Process, InheritedPipeStaysOpenInGrandchildren) {
    harness::MakeFreshRoot();
    Child child;
    DWORD started = GetTickCount();
    ASSERT_TRUE(RunCaptured(Tool() + " spawn " + Quoted(Tool() + " sleep 700 out grandchild") + " out child", &child));
    EXPECT_EQ(child.out, "child\ngrandchild\n");
    EXPECT_GE(GetTickCount() - started, 600u);
    CloseChild(child);
}

namespace {

/* The job keeper that holds a pidfd of `member`, or 0. */
pid_t KeeperOf(unsigned member) {
    pid_t found = 0;
    DIR *proc = opendir("/proc");
    while (proc != nullptr && found == 0) {
        struct dirent *entry = readdir(proc);
        if (entry == nullptr) break;
        std::string process = std::string("/proc/") + entry->d_name;
        if (atoi(entry->d_name) <= 0 || harness::ReadText(process + "/cmdline") != std::string("pelorim-job-keeper", 19))
            continue;
        DIR *fds = opendir((process + "/fdinfo").c_str());
        while (fds != nullptr && found == 0) {
            struct dirent *fd = readdir(fds);
            if (fd == nullptr) break;
            std::string info = harness::ReadText(process + "/fdinfo/" + fd->d_name);
            if (info.find("Pid:\t" + std::to_string(member) + "\n") != std::string::npos) found = atoi(entry->d_name);
        }
        if (fds != nullptr) closedir(fds);
    }
    if (proc != nullptr) closedir(proc);
    return found;
}

} // namespace

/* The job's keeper is a process of its own here: one that is killed is
 * replaced by the holder, and the member still ends with its holder. */
TEST(Process, AKilledJobKeeperIsReplaced) {
    harness::MakeFreshRoot();
    HANDLE readEnd;
    PROCESS_INFORMATION holder{};
    ASSERT_TRUE(StartPiped(Tool() + " job " + Quoted(Tool() + " sleep 60000") + " sleep 60000", &holder, &readEnd));
    char said[64] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(readEnd, said, sizeof said - 1, &got, NULL));
    unsigned pid = 0;
    ASSERT_EQ(sscanf(said, "member %u", &pid), 1) << said;
    EXPECT_TRUE(harness::Alive(pid));
    /* The keeper itself is killed first: the holder starts another. */
    pid_t keeper = 0;
    ASSERT_TRUE(harness::WaitFor([&] { return (keeper = KeeperOf(pid)) != 0; }, 10));
    ASSERT_EQ(0, kill(keeper, SIGKILL));
    /* One look a round: a second look could find the killed keeper gone and
     * its successor not yet there. */
    pid_t successor = 0;
    EXPECT_TRUE(harness::WaitFor([&] { return (successor = KeeperOf(pid)) != 0 && successor != keeper; }, 10))
        << "no keeper took the place of the killed one";
    ASSERT_TRUE(TerminateProcess(holder.hProcess, 9));
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::Alive(pid); }, 20)) << "the member outlived its job's holder";
    CloseHandle(readEnd);
    CloseHandle(holder.hProcess);
    CloseHandle(holder.hThread);
}

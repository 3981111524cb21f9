/* CreateProcessA and the process and primary-thread handles it returns. */
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

HANDLE KillOnCloseJob(DWORD flags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE);

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

TEST(Process, ArgumentsArriveSplitByWindowsRules) {
    harness::MakeFreshRoot();
    Child child;
    ASSERT_TRUE(RunCaptured(Tool() + " args plain \"two words\" a\\\"b \"tail\\\\\" \"\" x\\y", &child));
    EXPECT_EQ(child.out, "plain\ntwo words\na\"b\ntail\\\n\nx\\y\n");
    EXPECT_EQ(child.exitCode, 0u);
    CloseChild(child);
}

TEST(Process, EnvironmentAndDirectoryAreTheCallersUnlessGiven) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("cwd");
    ASSERT_TRUE(SetEnvironmentVariableA("PELORIM_CHILD_PROBE", "set at call time"));
    Child inherited;
    ASSERT_TRUE(RunCaptured(Tool() + " env PELORIM_CHILD_PROBE cwd", &inherited));
    char here[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof here, here), 0u);
    EXPECT_EQ(inherited.out, "set at call time\n" + std::string(here) + "\n");
    CloseChild(inherited);

    static const char block[] = "A=1\0=C:=C:\\\0PELORIM_CHILD_PROBE=from block\0";
    Child given;
    ASSERT_TRUE(RunCaptured(Tool() + " env PELORIM_CHILD_PROBE env A env PATH cwd", &given, 0, (LPVOID)block,
                            directory.c_str()));
    EXPECT_EQ(given.out, "from block\n1\n<unset>\n" + directory + "\n");
    CloseChild(given);
}

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

TEST(Process, StartFailuresGiveWin32Codes) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("bad");
    harness::WriteText(directory + "/plain.txt", "not a program\n");
    std::string garbage = directory + "/garbage";
    harness::WriteText(garbage, "\x01\x02\x03 not an image");
    Child chmod;
    ASSERT_TRUE(RunCaptured("chmod 755 \"" + garbage + "\"", &chmod));
    CloseChild(chmod);

    EXPECT_EQ(StartFails("no-such-program-anywhere arg"), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(StartFails(directory + "/missing"), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(StartFails(directory + "/plain.txt"), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(StartFails(garbage), (DWORD)ERROR_BAD_EXE_FORMAT);
    EXPECT_EQ(StartFails(Tool(), (directory + "/no-such-dir").c_str()), (DWORD)ERROR_DIRECTORY);
    EXPECT_EQ(StartFails(Tool() + " args " + std::string(32767, 'x')), (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST(Process, ExitCodesAndStillActive) {
    harness::MakeFreshRoot();
    Child child;
    ASSERT_TRUE(RunCaptured(Tool() + " exit 7", &child));
    EXPECT_EQ(child.exitCode, 7u);
    EXPECT_EQ(WaitForSingleObject(child.info.hThread, 5000), WAIT_OBJECT_0);
    DWORD threadCode = 0;
    ASSERT_TRUE(GetExitCodeThread(child.info.hThread, &threadCode));
    EXPECT_EQ(threadCode, 7u);
    CloseChild(child);

    /* Codes wider than an exit status arrive whole, whichever way the child ends. */
    for (const char *end : {" exitprocess 256", " libcexit 0x10003", " exitprocess 0xC0000005"}) {
        ASSERT_TRUE(RunCaptured(Tool() + end, &child));
        EXPECT_EQ(child.exitCode, strtoul(strrchr(end, ' ') + 1, nullptr, 0)) << end;
        CloseChild(child);
    }

    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " sleep 300 exit 3", &info));
    EXPECT_NE(info.dwProcessId, 0u);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 0), (DWORD)WAIT_TIMEOUT);
    HANDLE both[2] = {info.hThread, info.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
}

TEST(Process, TerminateProcessSetsTheExitCode) {
    harness::MakeFreshRoot();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &info));
    ASSERT_TRUE(TerminateProcess(info.hProcess, 42));
    ASSERT_EQ(WaitForSingleObject(info.hThread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 42u);
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
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

/* CREATE_SUSPENDED: the child runs nothing before ResumeThread, which says
 * how often it was suspended; it can join a job first, and one that cannot be
 * started fails at once. */
TEST(Process, ASuspendedChildRunsOnlyOnceResumed) {
    harness::MakeFreshRoot();
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(Start(Tool() + " exit 7", &info, CREATE_SUSPENDED | DETACHED_PROCESS));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 300), (DWORD)WAIT_TIMEOUT) << "ran before ResumeThread";
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(ResumeThread(info.hThread), 0u);
    EXPECT_EQ(ResumeThread(info.hProcess), (DWORD)-1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);

    HANDLE job = KillOnCloseJob();
    ASSERT_NE(job, (HANDLE)NULL);
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &info, CREATE_SUSPENDED | DETACHED_PROCESS));
    ASSERT_TRUE(AssignProcessToJobObject(job, info.hProcess));
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    ASSERT_TRUE(CloseHandle(job));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0) << "the resumed member outlived its job";
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string missing = "no-such-program-anywhere";
    EXPECT_FALSE(CreateProcessA(NULL, &missing[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &info));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    /* Nothing could resume it any more: it ends unrun, and leaves no zombie. */
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

HANDLE KillOnCloseJob(DWORD flags) {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = flags;
    if (job != NULL && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

} // namespace

/* A kill-on-close job ends its members when its last handle closes, and when
 * the process holding it dies without closing anything, even after its keeper
 * was killed; a job without the limit leaves them running. */
TEST(Process, AKillOnCloseJobEndsItsMembersWithItsLastHandleOrItsHolder) {
    harness::MakeFreshRoot();
    HANDLE job = KillOnCloseJob();
    ASSERT_NE(job, (HANDLE)NULL);
    PROCESS_INFORMATION member{};
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &member, DETACHED_PROCESS));
    ASSERT_TRUE(AssignProcessToJobObject(job, member.hProcess));
    EXPECT_TRUE(AssignProcessToJobObject(job, member.hProcess)) << "a member joins its own job again";
    ASSERT_TRUE(CloseHandle(job));
    EXPECT_EQ(WaitForSingleObject(member.hProcess, 10000), WAIT_OBJECT_0);
    CloseHandle(member.hProcess);
    CloseHandle(member.hThread);

    HANDLE plain = KillOnCloseJob(0);
    ASSERT_NE(plain, (HANDLE)NULL);
    ASSERT_TRUE(Start(Tool() + " sleep 60000", &member));
    ASSERT_TRUE(AssignProcessToJobObject(plain, member.hProcess));
    ASSERT_TRUE(CloseHandle(plain));
    EXPECT_EQ(WaitForSingleObject(member.hProcess, 300), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(TerminateProcess(member.hProcess, 1));
    CloseHandle(member.hProcess);
    CloseHandle(member.hThread);

    /* The holder is killed: nothing of it runs to close the job. */
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
    EXPECT_TRUE(harness::WaitFor([&] { return KeeperOf(pid) != 0 && KeeperOf(pid) != keeper; }, 10))
        << "no keeper took the place of the killed one";
    ASSERT_TRUE(TerminateProcess(holder.hProcess, 9));
    EXPECT_TRUE(harness::WaitFor([&] { return !harness::Alive(pid); }, 20)) << "the member outlived its job's holder";
    CloseHandle(readEnd);
    CloseHandle(holder.hProcess);
    CloseHandle(holder.hThread);
}

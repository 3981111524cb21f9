/* CreateProcessA and the process and primary-thread handles it returns; jobs
 * that kill their members. The children are this program (see
 * conformance::Child and the child's steps). */
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "conformance.h"

namespace {

class Process : public testing::Test {
protected:
    void SetUp() override { conformance::PrepareMachine(); }
};

/* Reads a pipe to its end: everything, and ReadFile's last error (109 expected). */
std::string ReadToEnd(HANDLE pipe, DWORD *lastError) {
    std::string text;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, NULL))
        for (DWORD i = 0; i < got; i++)
            if (buffer[i] != '\r') text += buffer[i];
    *lastError = GetLastError();
    return text;
}

struct ChildRun {
    std::string out;
    DWORD exitCode = 0xDEADBEEF;
};

/* Runs the child doing `steps` with its standard handles on one pipe, in
 * `directory` with `environment` when given; its output and exit code. */
::testing::AssertionResult RunChild(const std::string &steps, ChildRun *run, DWORD flags = 0, LPVOID environment = NULL,
                                    const char *directory = NULL) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return ::testing::AssertionFailure() << "CreatePipe";
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = writeEnd;
    PROCESS_INFORMATION info = {};
    std::string line = conformance::ChildCommandLine(steps);
    BOOL started = CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, flags, environment, directory, &startup, &info);
    DWORD error = GetLastError();
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return ::testing::AssertionFailure() << "CreateProcessA failed with " << error;
    }
    DWORD readError = 0;
    run->out = ReadToEnd(readEnd, &readError);
    CloseHandle(readEnd);
    bool ended = WaitForSingleObject(info.hProcess, 10000) == WAIT_OBJECT_0;
    GetExitCodeProcess(info.hProcess, &run->exitCode);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    if (readError != ERROR_BROKEN_PIPE) return ::testing::AssertionFailure() << "read ended with " << readError;
    if (!ended) return ::testing::AssertionFailure() << "child did not end";
    return ::testing::AssertionSuccess();
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

HANDLE KillOnCloseJob(DWORD flags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = flags;
    if (job != NULL && !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return NULL;
    }
    return job;
}

DWORD WINAPI ReadUntilTheEnd(LPVOID pipe) {
    char buffer[256];
    DWORD got = 0;
    while (ReadFile((HANDLE)pipe, buffer, sizeof buffer, &got, NULL)) {
    }
    return 0;
}

} // namespace

TEST_F(Process, ArgumentsArriveSplitByWindowsRules) {
    ChildRun run;
    ASSERT_TRUE(RunChild("args plain \"two words\" a\\\"b \"tail\\\\\" \"\" x\\y", &run));
    EXPECT_EQ(run.out, "plain\ntwo words\na\"b\ntail\\\n\nx\\y\n");
    EXPECT_EQ(run.exitCode, 0u);
}

TEST_F(Process, EnvironmentAndDirectoryAreTheCallersUnlessGiven) {
    ASSERT_TRUE(SetEnvironmentVariableA("PELORIM_CHILD_PROBE", "set at call time"));
    ChildRun inherited;
    ASSERT_TRUE(RunChild("env PELORIM_CHILD_PROBE cwd", &inherited));
    char here[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof here, here), 0u);
    EXPECT_EQ(inherited.out, "set at call time\n" + std::string(here) + "\n");

    std::string directory = conformance::MakeTempDirectory();
    static const char block[] = "A=1\0=C:=C:\\\0PELORIM_CHILD_PROBE=from block\0";
    ChildRun given;
    ASSERT_TRUE(RunChild("env PELORIM_CHILD_PROBE env A env PELORIM_NOT_IN_BLOCK cwd", &given, 0, (LPVOID)block,
                         directory.c_str()));
    char entered[MAX_PATH];
    ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
    ASSERT_GT(GetCurrentDirectoryA(sizeof entered, entered), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(here));
    EXPECT_EQ(given.out, "from block\n1\n<unset>\n" + std::string(entered) + "\n");
}

TEST_F(Process, StartFailuresGiveWin32Codes) {
    std::string directory = conformance::MakeTempDirectory();
    std::string self = conformance::ChildCommandLine("exit 0");
    EXPECT_EQ(StartFails("no-such-program-anywhere arg"), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(StartFails(directory + "/missing"), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(StartFails(self, (directory + "/no-such-dir").c_str()), (DWORD)ERROR_DIRECTORY);
    /* Windows refuses a command line over its 32767 characters with 206;
     * Wine answers 87. */
    EXPECT_EQ(StartFails(self + " " + std::string(32767, 'x')),
              conformance::UnderWine() ? (DWORD)ERROR_INVALID_PARAMETER : (DWORD)ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(Process, ExitCodesAndStillActive) {
    /* Codes wider than an exit status arrive whole, whichever way the child ends. */
    for (const char *end : {"exit 7", "exit 256", "c-exit 0x10003", "exit 0xC0000005"}) {
        ChildRun run;
        ASSERT_TRUE(RunChild(end, &run));
        EXPECT_EQ(run.exitCode, strtoul(end + std::string(end).find(' ') + 1, nullptr, 0)) << end;
    }

    PROCESS_INFORMATION info = conformance::StartChild("sleep 300 exit 3", FALSE);
    ASSERT_NE(info.hProcess, (HANDLE)NULL);
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
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 3u);
    conformance::FinishChild(info);
}

TEST_F(Process, TerminateProcessSetsTheExitCode) {
    PROCESS_INFORMATION info = conformance::StartChild("sleep 60000", FALSE);
    ASSERT_TRUE(TerminateProcess(info.hProcess, 42));
    ASSERT_EQ(WaitForSingleObject(info.hThread, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 42u);
    ASSERT_TRUE(GetExitCodeThread(info.hThread, &code));
    EXPECT_EQ(code, 42u);
    /* Windows refuses to end a process that has ended (the process is
     * terminating: 5); Wine lets the call succeed. */
    if (!conformance::UnderWine()) {
        EXPECT_FALSE(TerminateProcess(info.hProcess, 1));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    }
    HANDLE process = info.hProcess;
    conformance::FinishChild(info);
    EXPECT_FALSE(TerminateProcess(process, 1));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

/* CREATE_SUSPENDED: the child runs nothing before ResumeThread, which says
 * how often it was suspended; it can join a job first, and one that cannot be
 * started fails at once. */
TEST_F(Process, ASuspendedChildRunsOnlyOnceResumed) {
    PROCESS_INFORMATION info = conformance::StartChild("exit 7", FALSE, NULL, CREATE_SUSPENDED);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 300), (DWORD)WAIT_TIMEOUT) << "ran before ResumeThread";
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(ResumeThread(info.hProcess), (DWORD)-1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    conformance::FinishChild(info);

    HANDLE job = KillOnCloseJob();
    ASSERT_NE(job, (HANDLE)NULL);
    info = conformance::StartChild("sleep 60000", FALSE, NULL, CREATE_SUSPENDED);
    ASSERT_TRUE(AssignProcessToJobObject(job, info.hProcess));
    EXPECT_EQ(ResumeThread(info.hThread), 1u);
    ASSERT_TRUE(CloseHandle(job));
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0) << "the resumed member outlived its job";
    conformance::FinishChild(info);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string missing = "no-such-program-anywhere";
    EXPECT_FALSE(CreateProcessA(NULL, &missing[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL, NULL, &startup, &info));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

/* A kill-on-close job ends its members when its last handle closes, and when
 * the process holding it ends without closing anything; a job without the
 * limit leaves them running. */
TEST_F(Process, AKillOnCloseJobEndsItsMembersWithItsLastHandleOrItsHolder) {
    HANDLE job = KillOnCloseJob();
    ASSERT_NE(job, (HANDLE)NULL);
    PROCESS_INFORMATION member = conformance::StartChild("sleep 60000", FALSE, NULL, DETACHED_PROCESS);
    ASSERT_TRUE(AssignProcessToJobObject(job, member.hProcess));
    ASSERT_TRUE(CloseHandle(job));
    EXPECT_EQ(WaitForSingleObject(member.hProcess, 10000), WAIT_OBJECT_0);
    conformance::FinishChild(member);

    HANDLE plain = KillOnCloseJob(0);
    ASSERT_NE(plain, (HANDLE)NULL);
    member = conformance::StartChild("sleep 60000", FALSE);
    ASSERT_TRUE(AssignProcessToJobObject(plain, member.hProcess));
    ASSERT_TRUE(CloseHandle(plain));
    EXPECT_EQ(WaitForSingleObject(member.hProcess, 300), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(TerminateProcess(member.hProcess, 1));
    conformance::FinishChild(member);

    /* The holder is ended: nothing of it runs to close the job. The member
     * shares the holder's output pipe, which ends only when both have gone. */
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    PROCESS_INFORMATION holder = conformance::StartChild("job-member 60000 sleep 60000", TRUE, writeEnd);
    CloseHandle(writeEnd);
    char said[32] = {};
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(readEnd, said, sizeof said - 1, &got, NULL));
    ASSERT_EQ(std::string("member"), std::string(said, 6)) << said;
    HANDLE reader = CreateThread(NULL, 0, ReadUntilTheEnd, readEnd, 0, NULL);
    ASSERT_TRUE(TerminateProcess(holder.hProcess, 9));
    EXPECT_EQ(WaitForSingleObject(reader, 20000), WAIT_OBJECT_0) << "the member outlived its job's holder";
    conformance::FinishChild(holder);
    CloseHandle(reader);
    CloseHandle(readEnd);
}

/* The conformance tests' entry point, their child steps and shared helpers. */
#include "conformance.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

namespace conformance {

std::string UniqueName(const std::string &stem) {
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = stem + "_" + std::to_string(GetCurrentProcessId());
    if (test != nullptr) name += std::string("_") + test->test_suite_name() + "_" + test->name();
    return name;
}

std::string ChildCommandLine(const std::string &steps) {
    char self[MAX_PATH + 1];
    DWORD length = GetModuleFileNameA(NULL, self, sizeof self);
    EXPECT_TRUE(length > 0 && length < sizeof self);
    return "\"" + std::string(self, length) + "\" child " + steps;
}

PROCESS_INFORMATION StartChild(const std::string &steps, BOOL inheritHandles, HANDLE out, DWORD flags) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    if (out != NULL) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = out;
        startup.hStdOutput = out;
        startup.hStdError = out;
    }
    PROCESS_INFORMATION child = {};
    std::string line = ChildCommandLine(steps);
    EXPECT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, inheritHandles, flags, NULL, NULL, &startup, &child))
        << "CreateProcessA: " << GetLastError();
    return child;
}

void FinishChild(PROCESS_INFORMATION &child) {
    if (child.hProcess == NULL) return;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(child.hProcess, 10000));
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    child = PROCESS_INFORMATION();
}

Child::Child(const std::string &steps) {
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE writeEnd = NULL;
    EXPECT_TRUE(CreatePipe(&out_, &writeEnd, &inherit, 0));
    /* Only the child's copy of the read end may stay open in it. */
    SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);
    info_ = StartChild(steps, TRUE, writeEnd);
    CloseHandle(writeEnd);
}

Child::~Child() {
    if (info_.hProcess != NULL) Finish();
}

std::string Child::Line() {
    std::string line;
    char c;
    DWORD got;
    while (ReadFile(out_, &c, 1, &got, NULL) && got == 1 && c != '\n')
        if (c != '\r') line += c;
    return line;
}

DWORD Child::Finish() {
    DWORD code = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info_.hProcess, 10000));
    GetExitCodeProcess(info_.hProcess, &code);
    FinishChild(info_);
    CloseHandle(out_);
    out_ = NULL;
    return code;
}

bool WaitFor(const std::function<bool()> &condition, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start > milliseconds) return false;
        Sleep(20);
    }
}

std::string ReadText(const std::string &path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) text.append(buffer, got);
    CloseHandle(file);
    return text;
}

void WriteText(const std::string &path, const std::string &text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << path << ": " << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, text.data(), (DWORD)text.size(), &written, NULL));
    CloseHandle(file);
}

std::string MakeTempDirectory() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0;; attempt++) {
        std::filesystem::path path = base / ("pelorim-conformance-" + std::to_string(GetCurrentProcessId()) + "-" +
                                             std::to_string(GetTickCount()) + "-" + std::to_string(attempt));
        std::error_code error;
        if (std::filesystem::create_directory(path, error)) return path.string();
    }
}

} // namespace conformance

namespace {

void Say(const std::string &text) {
    fputs((text + "\n").c_str(), stdout);
    fflush(stdout);
}

/* What a child's steps work on: the pipe that "connect" opened, and the
 * event or mutex that the latest object step created or opened. */
struct ChildState {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE object = NULL;
};

std::string Code(DWORD code) { return std::to_string(code); }

/* "ok" (with the last error after a create), or "fail <error>". */
void SayObject(ChildState &state, HANDLE object, bool withLastError) {
    DWORD error = GetLastError();
    if (object == NULL) {
        Say("fail " + Code(error));
        return;
    }
    state.object = object;
    Say(withLastError ? "ok " + Code(error) : "ok");
}

void SayDone(BOOL done) { Say(done ? "ok" : "fail " + Code(GetLastError())); }

/* The job-member step: the job and its member stay with this process until it ends. */
std::string StartJobMember(const char *sleepMs) {
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == NULL || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits))
        return "job failed " + Code(GetLastError());
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION member = {};
    std::string line = conformance::ChildCommandLine(std::string("sleep ") + sleepMs);
    if (!CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, CREATE_SUSPENDED, NULL, NULL, &startup, &member))
        return "job failed " + Code(GetLastError());
    if (!AssignProcessToJobObject(job, member.hProcess)) return "job failed " + Code(GetLastError());
    ResumeThread(member.hThread);
    return "member";
}

struct ChildStep {
    const char *name;
    int arguments;
    void (*run)(ChildState &state, char **arguments);
};

/*
 * The steps a child takes, left to right, each with its arguments:
 *   out TEXT           write TEXT and a line end to standard output
 *   err TEXT           write TEXT and a line end to standard error
 *   sleep MS           sleep MS milliseconds
 *   exit N             end with ExitProcess(N), holding whatever it holds
 *   stdin              read standard input to its end and write "stdin N" (bytes read)
 *   env NAME           write the variable's value, or "<unset>"
 *   serve NAME         create the one inbound instance of named pipe NAME, as the output
 *                      pipe server does; write "served" or "busy N"; it stays open
 *   connect NAME       open named pipe NAME for writing; write "opened" or "failed N"
 *   write TEXT         write TEXT to the pipe that connect opened
 *   close              close it
 *   event NAME M I     CreateEventA(manual M, initial I): "ok <last error>" or "fail N"
 *   open-event NAME    OpenEventA: "ok" or "fail N"
 *   mutex NAME OWN     CreateMutexA(initial owner OWN): "ok <last error>" or "fail N"
 *   open-mutex NAME    OpenMutexA: "ok" or "fail N"
 *   set                SetEvent on the latest object: "ok" or "fail N"
 *   release            ReleaseMutex on the latest object: "ok" or "fail N"
 *   wait MS            wait up to MS for the latest object: the result's number
 *   hold NAME          write "holding", then wait up to a minute for the event NAME,
 *                      which the test creates and sets to let the child go on
 *   cwd                write the current directory
 *   c-exit N           end with the C runtime's exit(N), as the Java runtime's System.exit does
 *   job-member MS      start a child of this program that sleeps MS, inheriting handles, as
 *                      the member of a kill-on-close job that this process holds; write
 *                      "member" or "job failed N"
 *   open PATH A S D    CreateFileA(PATH, access A, share S, disposition D), numbers in any
 *                      base: "ok" or "fail N"; the file stays open
 *   args               write each remaining word on a line of its own, then stop
 */
const ChildStep childSteps[] = {
    {"out", 1, [](ChildState &, char **a) { Say(a[0]); }},
    {"err", 1, [](ChildState &, char **a) {
         fputs((std::string(a[0]) + "\n").c_str(), stderr);
         fflush(stderr);
     }},
    {"sleep", 1, [](ChildState &, char **a) { Sleep((DWORD)atol(a[0])); }},
    {"exit", 1, [](ChildState &, char **a) { ExitProcess((UINT)strtoul(a[0], nullptr, 0)); }},
    {"stdin", 0, [](ChildState &, char **) {
         char buffer[512];
         size_t total = 0, n;
         while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0) total += n;
         Say("stdin " + std::to_string(total));
     }},
    {"env", 1, [](ChildState &, char **a) {
         char value[1024];
         DWORD length = GetEnvironmentVariableA(a[0], value, sizeof value);
         Say(length == 0 || length >= sizeof value ? "<unset>" : value);
     }},
    {"serve", 1, [](ChildState &, char **a) {
         HANDLE served = CreateNamedPipeA(a[0], PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1000, 30000, NULL);
         Say(served != INVALID_HANDLE_VALUE ? "served" : "busy " + Code(GetLastError()));
     }},
    {"connect", 1, [](ChildState &state, char **a) {
         state.pipe = CreateFileA(a[0], GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
         Say(state.pipe != INVALID_HANDLE_VALUE ? "opened" : "failed " + Code(GetLastError()));
     }},
    {"write", 1, [](ChildState &state, char **a) {
         DWORD written = 0;
         if (!WriteFile(state.pipe, a[0], (DWORD)strlen(a[0]), &written, NULL))
             Say("write failed " + Code(GetLastError()));
     }},
    {"close", 0, [](ChildState &state, char **) {
         CloseHandle(state.pipe);
         state.pipe = INVALID_HANDLE_VALUE;
     }},
    {"event", 3, [](ChildState &state, char **a) {
         SayObject(state, CreateEventA(NULL, atoi(a[1]), atoi(a[2]), a[0]), true);
     }},
    {"open-event", 1, [](ChildState &state, char **a) {
         SayObject(state, OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, a[0]), false);
     }},
    {"mutex", 2, [](ChildState &state, char **a) { SayObject(state, CreateMutexA(NULL, atoi(a[1]), a[0]), true); }},
    {"open-mutex", 1, [](ChildState &state, char **a) {
         SayObject(state, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, a[0]), false);
     }},
    {"set", 0, [](ChildState &state, char **) { SayDone(SetEvent(state.object)); }},
    {"release", 0, [](ChildState &state, char **) { SayDone(ReleaseMutex(state.object)); }},
    {"wait", 1, [](ChildState &state, char **a) {
         Say(Code(WaitForSingleObject(state.object, (DWORD)atol(a[0]))));
     }},
    {"hold", 1, [](ChildState &, char **a) {
         HANDLE go = OpenEventA(SYNCHRONIZE, FALSE, a[0]);
         Say("holding");
         if (go != NULL) WaitForSingleObject(go, 60000);
         if (go != NULL) CloseHandle(go);
     }},
    {"cwd", 0, [](ChildState &, char **) {
         char directory[MAX_PATH + 1];
         DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
         Say(length > 0 && length < sizeof directory ? directory : "<none>");
     }},
    {"c-exit", 1, [](ChildState &, char **a) { exit((int)strtoul(a[0], nullptr, 0)); }},
    {"open", 4, [](ChildState &, char **a) {
         HANDLE file = CreateFileA(a[0], (DWORD)strtoul(a[1], nullptr, 0), (DWORD)strtoul(a[2], nullptr, 0), NULL,
                                   (DWORD)strtoul(a[3], nullptr, 0), FILE_ATTRIBUTE_NORMAL, NULL);
         Say(file != INVALID_HANDLE_VALUE ? "ok" : "fail " + Code(GetLastError()));
     }},
    {"job-member", 1, [](ChildState &, char **a) { Say(StartJobMember(a[0])); }},
};

int RunChildSteps(int count, char **steps) {
    ChildState state;
    for (int i = 0; i < count;) {
        if (strcmp(steps[i], "args") == 0) {
            for (i++; i < count; i++) Say(steps[i]);
            return 0;
        }
        const ChildStep *found = nullptr;
        for (const ChildStep &step : childSteps)
            if (strcmp(step.name, steps[i]) == 0) found = &step;
        if (found == nullptr || i + found->arguments >= count) {
            fprintf(stderr, "unknown or incomplete child step %s\n", steps[i]);
            return 99;
        }
        found->run(state, steps + i + 1);
        i += 1 + found->arguments;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "child") == 0) return RunChildSteps(argc - 2, argv + 2);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

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

/*
 * The steps a child takes, left to right:
 *   out TEXT      write TEXT and a line end to standard output
 *   err TEXT      write TEXT and a line end to standard error
 *   sleep MS      sleep MS milliseconds
 *   exit N        end with ExitProcess(N)
 *   stdin         read standard input to its end and write "stdin N" (bytes read)
 *   env NAME      write the variable's value, or "<unset>"
 *   set NAME      open the named event NAME and set it; write "set" or "no event N"
 *   wait NAME MS  open the named event NAME and wait up to MS for it; write the result
 *   serve NAME    create the one inbound instance of named pipe NAME, as the output pipe
 *                 server does; write "served" or "busy N" (the error); it stays open
 *   connect NAME  open named pipe NAME for writing; write "opened" or "failed N"
 *   write TEXT    write TEXT to the pipe that connect opened
 *   close         close it
 */
int RunChildSteps(int count, char **steps) {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < count; i++) {
        std::string step = steps[i];
        const char *argument = i + 1 < count ? steps[i + 1] : "";
        if (step == "out") {
            Say(argument);
        } else if (step == "err") {
            fputs((std::string(argument) + "\n").c_str(), stderr);
            fflush(stderr);
        } else if (step == "sleep") {
            Sleep((DWORD)atol(argument));
        } else if (step == "exit") {
            ExitProcess((UINT)atol(argument));
        } else if (step == "stdin") {
            char buffer[512];
            size_t total = 0, n;
            while ((n = fread(buffer, 1, sizeof buffer, stdin)) > 0) total += n;
            Say("stdin " + std::to_string(total));
            continue;
        } else if (step == "env") {
            char value[1024];
            DWORD length = GetEnvironmentVariableA(argument, value, sizeof value);
            Say(length == 0 || length >= sizeof value ? "<unset>" : value);
        } else if (step == "set" || step == "wait") {
            HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, argument);
            if (event == NULL) {
                Say("no event " + std::to_string(GetLastError()));
            } else if (step == "set") {
                Say(SetEvent(event) ? "set" : "set failed");
            } else {
                Say("waited " + std::to_string(WaitForSingleObject(event, (DWORD)atol(steps[i + 2]))));
                i++;
            }
            if (event != NULL) CloseHandle(event);
        } else if (step == "serve") {
            HANDLE served = CreateNamedPipeA(argument, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1000,
                                             30000, NULL);
            Say(served != INVALID_HANDLE_VALUE ? "served" : "busy " + std::to_string(GetLastError()));
        } else if (step == "connect") {
            pipe = CreateFileA(argument, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
            Say(pipe != INVALID_HANDLE_VALUE ? "opened" : "failed " + std::to_string(GetLastError()));
        } else if (step == "write") {
            DWORD written = 0;
            if (!WriteFile(pipe, argument, (DWORD)strlen(argument), &written, NULL))
                Say("write failed " + std::to_string(GetLastError()));
        } else if (step == "close") {
            CloseHandle(pipe);
            pipe = INVALID_HANDLE_VALUE;
            continue;
        } else {
            fprintf(stderr, "unknown child step %s\n", step.c_str());
            return 99;
        }
        i++;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc >= 2 && strcmp(argv[1], "child") == 0) return RunChildSteps(argc - 2, argv + 2);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

/* Anonymous pipes: end-of-pipe and broken-pipe codes, and inheritance. */
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "conformance.h"

namespace {

/* The child's output with the C runtime's line ends made plain ("\r\n" on Windows). */
std::string Plain(const std::string &text) {
    std::string plain;
    for (char c : text)
        if (c != '\r') plain += c;
    return plain;
}

} // namespace

TEST(Pipe, ReadsDataThenBrokenPipeWhenTheWriterCloses) {
    conformance::PrepareMachine();
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 0));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(writeEnd, "abc", 3, &done, NULL));
    EXPECT_EQ(done, 3u);
    ASSERT_TRUE(CloseHandle(writeEnd));
    char buffer[16];
    ASSERT_TRUE(ReadFile(readEnd, buffer, sizeof buffer, &done, NULL));
    EXPECT_EQ(std::string(buffer, done), "abc");
    EXPECT_FALSE(ReadFile(readEnd, buffer, sizeof buffer, &done, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
    EXPECT_EQ(done, 0u);
    CloseHandle(readEnd);
}

TEST(Pipe, WriteWithoutReaderFailsWithNoDataAndTheProcessLives) {
    conformance::PrepareMachine();
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, NULL, 4096));
    ASSERT_TRUE(CloseHandle(readEnd));
    DWORD done = 1;
    EXPECT_FALSE(WriteFile(writeEnd, "abc", 3, &done, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);
    EXPECT_FALSE(WriteFile(writeEnd, "abc", 3, &done, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);
    CloseHandle(writeEnd);
}

/* The shutdown command's arrangement: the write end is the child's standard
 * output, error and input; the parent closes its copy; the reader gets the
 * child's output and then 109 once the child has gone. */
TEST(Pipe, ChildOutputThenBrokenPipeAfterTheChildEnds) {
    conformance::PrepareMachine();
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    HANDLE readEnd, writeEnd;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    PROCESS_INFORMATION info = conformance::StartChild("stdin out to-out sleep 300 err to-err", TRUE, writeEnd);
    ASSERT_TRUE(CloseHandle(writeEnd));
    std::string text;
    char buffer[256];
    DWORD done;
    while (ReadFile(readEnd, buffer, sizeof buffer, &done, NULL)) text.append(buffer, done);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
    /* Its standard input is a write end: reading it gives nothing. */
    EXPECT_EQ(Plain(text), "stdin 0\nto-out\nto-err\n");
    CloseHandle(readEnd);
    conformance::FinishChild(info);
}

/* With inheritance on, an inheritable end that is not a standard handle stays
 * open in the child; a non-inheritable one (from the start or made so by
 * SetHandleInformation), or any end when inheritance is off, does not. */
TEST(Pipe, OnlyInheritableEndsReachChildrenThatInherit) {
    conformance::PrepareMachine();
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
    struct Case {
        LPSECURITY_ATTRIBUTES attributes;
        BOOL inherit;
        bool clear;
        bool heldByChild;
    } cases[] = {{&inheritable, TRUE, false, true},
                 {NULL, TRUE, false, false},
                 {&inheritable, FALSE, false, false},
                 {&inheritable, TRUE, true, false}};
    for (const Case &c : cases) {
        HANDLE readEnd, writeEnd;
        ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, c.attributes, 0));
        if (c.clear) {
            ASSERT_TRUE(SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0));
        }
        PROCESS_INFORMATION info = conformance::StartChild("sleep 600", c.inherit);
        ASSERT_TRUE(CloseHandle(writeEnd));
        char buffer[16];
        DWORD done;
        EXPECT_FALSE(ReadFile(readEnd, buffer, sizeof buffer, &done, NULL));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BROKEN_PIPE);
        DWORD exitCode = 0;
        GetExitCodeProcess(info.hProcess, &exitCode);
        if (c.heldByChild) {
            EXPECT_EQ(WaitForSingleObject(info.hProcess, 2000), WAIT_OBJECT_0);
        } else {
            EXPECT_EQ(exitCode, (DWORD)STILL_ACTIVE) << "the end was held by a child that should not have it";
        }
        CloseHandle(readEnd);
        conformance::FinishChild(info);
    }
}

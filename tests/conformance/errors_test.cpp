/* The last error, and the system's messages for the codes the program meets. */
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "conformance.h"

namespace {

DWORD WINAPI ReturnLastError(LPVOID) { return GetLastError(); }

} // namespace

TEST(Errors, LastErrorIsPerThread) {
    conformance::PrepareMachine();
    SetLastError(ERROR_ACCESS_DENIED);
    HANDLE thread = CreateThread(nullptr, 0, ReturnLastError, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(0u, code);
    CloseHandle(thread);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

TEST(Errors, FormatMessageKnowsEveryCodeTheLayerUses) {
    conformance::PrepareMachine();
    const DWORD codes[] = {2,    3,    4,    5,    6,    8,    17,   32,   80,   87,   109,  112,  122,  123,  124,
                           126,  127,  183,  206,  232,  233,  234,  258,  259,  267,  288,  535,  536,
                           995,  996,  997,  1051, 1052, 1053, 1056, 1058, 1060, 1061, 1062, 1063, 1066,
                           1067, 1068, 1069, 1072, 1073, 1075, 1077, 1078, 1450, 1460};
    for (DWORD code : codes) {
        /* Wine has no text for WAIT_TIMEOUT (258); Windows has. */
        if (code == WAIT_TIMEOUT && conformance::UnderWine()) continue;
        char buffer[512];
        DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                      MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
        ASSERT_GT(length, 2u) << code;
        EXPECT_EQ(strlen(buffer), length) << code;
        EXPECT_EQ(std::string("\r\n"), std::string(buffer + length - 2)) << code;
    }
}

TEST(Errors, FormatMessageAllocatesAndFailsForUnknownCodes) {
    conformance::PrepareMachine();
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  nullptr, ERROR_SERVICE_DOES_NOT_EXIST, 0, (LPSTR)&text, 0, nullptr);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(strlen(text), length);
    char copy[256];
    ASSERT_EQ(length, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_SERVICE_DOES_NOT_EXIST, 0, copy,
                                     sizeof copy, nullptr));
    EXPECT_STREQ(copy, text);
    EXPECT_EQ(nullptr, LocalFree(text));

    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0, copy, sizeof copy, nullptr));
    EXPECT_EQ((DWORD)ERROR_MR_MID_NOT_FOUND, GetLastError());
    text = nullptr;
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0,
                                 (LPSTR)&text, 0, nullptr));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_FILE_NOT_FOUND, 0, copy, 4, nullptr));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
}

/* Dates and times as the log stamps them, the buffer conventions of the
 * calls that fill the caller's buffer, and critical sections. */
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "conformance.h"

namespace {

SYSTEMTIME At(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second) {
    SYSTEMTIME t = {};
    t.wYear = year, t.wMonth = month, t.wDay = day, t.wHour = hour, t.wMinute = minute, t.wSecond = second;
    return t;
}

std::string Date(const SYSTEMTIME &t, const char *picture) {
    char buffer[128];
    int n = GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, picture, buffer, sizeof buffer);
    EXPECT_GT(n, 0) << picture;
    EXPECT_EQ((size_t)n, strlen(buffer) + 1);
    return n > 0 ? buffer : "";
}

std::string Time(const SYSTEMTIME &t, const char *picture) {
    char buffer[128];
    int n = GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, picture, buffer, sizeof buffer);
    EXPECT_GT(n, 0) << picture;
    return n > 0 ? buffer : "";
}

} // namespace

/* In an English system locale, as the tests' machines have. */
TEST(System, DateAndTimePictures) {
    conformance::PrepareMachine();
    SYSTEMTIME t = At(2024, 3, 5, 7, 8, 9); /* a Tuesday */
    EXPECT_EQ("March 05, 2024 ", Date(t, "MMMM dd',' yyyy "));
    EXPECT_EQ("07:08:09 ", Time(t, "HH':'mm':'ss "));
    EXPECT_EQ("5/3/24 Tue Tuesday Mar 03", Date(t, "d/M/yy ddd dddd MMM MM"));
    EXPECT_EQ("it's 2024", Date(t, "'it''s' yyyy"));
    EXPECT_EQ("7:8:9 AM A 07", Time(t, "h:m:s tt t hh"));
    SYSTEMTIME evening = At(2023, 12, 31, 23, 59, 0); /* a Sunday */
    EXPECT_EQ("11 PM 23", Time(evening, "h tt H"));
    EXPECT_EQ("Sunday, December 31", Date(evening, "dddd, MMMM d"));
    SYSTEMTIME midnight = At(2000, 2, 29, 0, 0, 0);
    EXPECT_EQ("12 AM", Time(midnight, "h tt"));
    EXPECT_EQ("Tue", Date(midnight, "ddd"));

    /* Size probe, too small a buffer. */
    EXPECT_EQ(16, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "MMMM dd',' yyyy ", nullptr, 0));
    char small[8];
    EXPECT_EQ(0, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "MMMM dd',' yyyy ", small, sizeof small));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(10, GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "HH':'mm':'ss ", nullptr, 0));
}

TEST(System, BufferConventionsOfDirectoryModuleAndEnvironment) {
    conformance::PrepareMachine();
    std::string directory = conformance::MakeTempDirectory();
    char before[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(sizeof before, before), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    std::string buffer(needed, 'x');
    EXPECT_EQ(needed - 1, GetCurrentDirectoryA(needed, &buffer[0]));
    EXPECT_EQ(needed - 1, strlen(buffer.c_str()));
    EXPECT_FALSE(SetCurrentDirectoryA((directory + "/missing").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(SetCurrentDirectoryA((directory + "/missing/deeper").c_str()));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());
    ASSERT_TRUE(SetCurrentDirectoryA(before));

    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(strlen(path), length);
    EXPECT_NE(nullptr, strstr(path, "conformance_tests"));
    char cut[5];
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, cut, sizeof cut));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0, strncmp(path, cut, 4));
    /* Windows since Vista ends the cut name with a NUL; Wine, as XP did, does not. */
    if (!conformance::UnderWine()) {
        EXPECT_EQ('\0', cut[4]);
    }

    ASSERT_TRUE(SetEnvironmentVariableA("PELORIM_TEST_VAR", "value"));
    char value[6];
    EXPECT_EQ(5u, GetEnvironmentVariableA("PELORIM_TEST_VAR", value, sizeof value));
    EXPECT_EQ(6u, GetEnvironmentVariableA("PELORIM_TEST_VAR", value, 5));
    ASSERT_TRUE(SetEnvironmentVariableA("PELORIM_TEST_VAR", nullptr));
    EXPECT_EQ(0u, GetEnvironmentVariableA("PELORIM_TEST_VAR", value, sizeof value));
    EXPECT_EQ((DWORD)ERROR_ENVVAR_NOT_FOUND, GetLastError());

    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version - 1;
    EXPECT_FALSE(GetVersionExA(&version));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_EQ((DWORD)VER_PLATFORM_WIN32_NT, version.dwPlatformId);
}

TEST(System, CriticalSectionIsReentrant) {
    conformance::PrepareMachine();
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

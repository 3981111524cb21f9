#include <windows.h>

#include <elf.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"

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

TEST(System, DateAndTimePictures) {
    SYSTEMTIME t = At(2024, 3, 5, 7, 8, 9); /* a Tuesday */
    EXPECT_EQ("March 05, 2024 ", Date(t, "MMMM dd',' yyyy "));
    EXPECT_EQ("07:08:09 ", Time(t, "HH':'mm':'ss "));
    EXPECT_EQ("5/3/24 Tue Tuesday Mar 03", Date(t, "d/M/yy ddd dddd MMM MM"));
    EXPECT_EQ("it's 2024", Date(t, "'it''s' yyyy"));
    EXPECT_EQ("7:8:9 AM A 07", Time(t, "h:m:s tt t hh"));
    SYSTEMTIME evening = At(2023, 12, 31, 23, 59, 0); /* a Sunday */
    EXPECT_EQ("11 PM 23", Time(evening, "h tt H"));
    EXPECT_EQ("Sunday, December 31", Date(evening, "dddd, MMMM d"));
    SYSTEMTIME noon = At(2000, 2, 29, 0, 0, 0);
    EXPECT_EQ("12 AM", Time(noon, "h tt"));
    EXPECT_EQ("Tue", Date(noon, "ddd"));

    /* Size probe, too small a buffer. */
    EXPECT_EQ(16, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "MMMM dd',' yyyy ", nullptr, 0));
    char small[8];
    EXPECT_EQ(0, GetDateFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "MMMM dd',' yyyy ", small, sizeof small));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(10, GetTimeFormatA(LOCALE_SYSTEM_DEFAULT, 0, &t, "HH':'mm':'ss ", nullptr, 0));
}

TEST(System, BufferConventionsOfDirectoryModuleAndEnvironment) {
    std::string directory = harness::MakeTempDirectory("pelorim-cwd");
    ASSERT_TRUE(SetCurrentDirectoryA(directory.c_str()));
    DWORD needed = GetCurrentDirectoryA(0, nullptr);
    EXPECT_EQ(directory.size() + 1, needed);
    std::string buffer(needed, 'x');
    EXPECT_EQ(directory.size(), GetCurrentDirectoryA(needed, &buffer[0]));
    EXPECT_STREQ(directory.c_str(), buffer.c_str());
    EXPECT_FALSE(SetCurrentDirectoryA((directory + "/missing").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    ASSERT_GT(length, 0u);
    EXPECT_EQ(strlen(path), length);
    EXPECT_NE(nullptr, strstr(path, "platform_tests"));
    char cut[5];
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, cut, sizeof cut));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ(0, strncmp(path, cut, 4));
    EXPECT_EQ('\0', cut[4]);

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

/* A service process has no terminal: its title needs the console that
 * AllocConsole gives it, and there is only one such console. */
TEST(System, ConsoleTitleNeedsATerminalOrAnAllocatedConsole) {
    pid_t child = fork();
    if (child == 0) {
        setsid(); /* no controlling terminal from here on */
        if (SetConsoleTitleA("title") || GetLastError() != ERROR_INVALID_HANDLE) _exit(1);
        if (!AllocConsole()) _exit(2);
        if (!SetConsoleTitleA("title")) _exit(3);
        if (AllocConsole() || GetLastError() != ERROR_ACCESS_DENIED) _exit(4);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(System, LibraryErrorCodes) {
    EXPECT_EQ(nullptr, LoadLibraryA("/nonexistent/libnothing.so"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    /* A file that is no library of this process's kind, as a 32-bit jvm.dll is
       to a 64-bit process, is ERROR_BAD_EXE_FORMAT (193). */
    std::string directory = harness::MakeTempDirectory("pelorim-lib");
    std::string notALibrary = directory + "/fake.so";
    harness::WriteText(notALibrary, "not an ELF image");
    EXPECT_EQ(nullptr, LoadLibraryA(notALibrary.c_str()));
    EXPECT_EQ((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError());
    std::string ownImage = harness::ReadText("/proc/self/exe");
    std::string otherClass = ownImage.substr(0, 4096);
    otherClass[EI_CLASS] = otherClass[EI_CLASS] == ELFCLASS64 ? ELFCLASS32 : ELFCLASS64;
    harness::WriteText(directory + "/other-class.so", otherClass);
    EXPECT_EQ(nullptr, LoadLibraryA((directory + "/other-class.so").c_str()));
    EXPECT_EQ((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError());
    HMODULE libc = LoadLibraryA("libc.so.6");
    ASSERT_NE(nullptr, libc);
    EXPECT_NE(nullptr, GetProcAddress(libc, "strlen"));
    EXPECT_EQ(nullptr, GetProcAddress(libc, "NoSuchFunctionAnywhere"));
    EXPECT_EQ((DWORD)ERROR_PROC_NOT_FOUND, GetLastError());
    EXPECT_TRUE(FreeLibrary(libc));
}

/* A bare name is looked for in the DLL directory first; NULL leaves none. */
TEST(System, ABareLibraryNameIsFoundInTheDllDirectory) {
    std::string directory = harness::MakeTempDirectory("pelorim-dlls");
    ASSERT_EQ(0, symlink((harness::JavaHome() + "/lib/libjli.so").c_str(), (directory + "/libbare.so").c_str()));
    EXPECT_EQ(nullptr, LoadLibraryA("libbare.so"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
    ASSERT_TRUE(SetDllDirectoryA(directory.c_str()));
    HMODULE library = LoadLibraryA("libbare.so");
    ASSERT_NE(nullptr, library);
    EXPECT_NE(nullptr, GetProcAddress(library, "JLI_Launch"));
    EXPECT_TRUE(FreeLibrary(library));
    ASSERT_TRUE(SetDllDirectoryA(nullptr));
    EXPECT_EQ(nullptr, LoadLibraryA("libbare.so"));
    EXPECT_EQ((DWORD)ERROR_MOD_NOT_FOUND, GetLastError());
}

TEST(System, CriticalSectionIsReentrant) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

/* The standard handles are descriptors 0 to 2: SetStdHandle moves the
 * descriptor, so the C library (and any library loaded later) writes where
 * the handle leads, and GetStdHandle returns the handle set. Checked in a
 * child, whose standard output the test may take. */
TEST(System, StandardHandlesAreTheStandardDescriptors) {
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    pid_t child = fork();
    if (child == 0) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        int code = GetStdHandle(STD_INPUT_HANDLE) != nullptr ? 0 : 1;
        if (!code && (GetStdHandle(5) != INVALID_HANDLE_VALUE || GetLastError() != ERROR_INVALID_HANDLE)) code = 2;
        if (!code && (SetStdHandle(STD_OUTPUT_HANDLE, event) || GetLastError() != ERROR_INVALID_HANDLE)) code = 3;
        if (!code && !SetStdHandle(STD_OUTPUT_HANDLE, writeEnd)) code = 4;
        if (!code && GetStdHandle(STD_OUTPUT_HANDLE) != writeEnd) code = 5;
        CloseHandle(writeEnd);
        printf("through the C library\n");
        fflush(stdout);
        _exit(code);
    }
    CloseHandle(writeEnd);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    char buffer[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(readEnd, buffer, sizeof buffer - 1, &read, nullptr));
    EXPECT_EQ(std::string("through the C library\n"), std::string(buffer, read));
    CloseHandle(readEnd);
}

/* The system calls where POSIX shows what Windows does not: consoles and
 * terminals, ELF libraries, the DLL directory, the standard descriptors. */
#include <windows.h>

#include <elf.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.h"


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

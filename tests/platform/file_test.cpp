/* Files where POSIX shows what Windows does not: planted links under the root,
 * truncation from outside, FIFOs and deleted names. What Win32 alone shows of
 * files is held against Windows in tests/conformance. */
#include <windows.h>

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

HANDLE Open(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string Contents(const std::string &path) { return harness::ReadText(path); }

} // namespace

/* Names of named objects never reach outside the root, whatever they hold. */
TEST(File, ObjectNamesStayInsideTheRoot) {
    std::string base = harness::MakeTempDirectory("pelorim-escape");
    std::string root = base + "/inner/root";
    setenv("PELORIM_ROOT", root.c_str(), 1);
    const char *names[] = {"..", "../../escaped", "..\\..\\escaped", "/tmp/escaped", "a/../../b", "."};
    for (const char *name : names) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
        EXPECT_NE(nullptr, event) << name;
        HANDLE mutex = CreateMutexA(nullptr, FALSE, (std::string("m") + name).c_str());
        EXPECT_NE(nullptr, mutex) << name;
        /* The same name opens the same object. */
        HANDLE again = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
        EXPECT_NE(nullptr, again) << name;
        if (again) CloseHandle(again);
    }
    auto entries = [](const std::string &directory) {
        std::vector<std::string> names;
        DIR *dir = opendir(directory.c_str());
        if (!dir) return names;
        while (struct dirent *entry = readdir(dir))
            if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
        closedir(dir);
        return names;
    };
    EXPECT_EQ(std::vector<std::string>{"inner"}, entries(base));
    EXPECT_EQ(std::vector<std::string>{"root"}, entries(base + "/inner"));
    EXPECT_FALSE(harness::FileExists("/tmp/escaped"));
}

/* Someone with write access to the root plants links, or directories of their
 * own, under it: nothing is opened through them, nothing outside the root is
 * written, and the calls that would have used them fail with 5. */
TEST(File, LinksAndDirectoriesPlantedUnderTheRootAreRefused) {
    std::string root = harness::MakeFreshRoot();
    std::string outside = harness::MakeTempDirectory("pelorim-outside");
    std::string victim = outside + "/victim";
    harness::WriteText(victim, "precious");
    ASSERT_EQ(0, mkdir((root + "/objects").c_str(), 0700));
    ASSERT_EQ(0, symlink(victim.c_str(), (root + "/objects/PELORIM_X_RUN_EVENT").c_str()));
    auto refused = [](const char *what, bool failed) {
        EXPECT_TRUE(failed) << what;
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError()) << what;
    };
    refused("an object a link", CreateEventA(nullptr, TRUE, FALSE, "PELORIM_X_RUN_EVENT") == nullptr);
    HANDLE beside = CreateEventA(nullptr, TRUE, FALSE, "PELORIM_X_STOP_EVENT");
    EXPECT_NE(nullptr, beside);
    CloseHandle(beside);

    ASSERT_EQ(0, unlink((root + "/objects/PELORIM_X_RUN_EVENT").c_str()));
    ASSERT_EQ(0, rmdir((root + "/objects").c_str()));
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/objects").c_str()));
    refused("objects/ a link", CreateMutexA(nullptr, FALSE, "PELORIM_X_DETACH_MUTEX") == nullptr);
    ASSERT_EQ(0, unlink((root + "/objects").c_str()));
    ASSERT_EQ(0, mkdir((root + "/objects").c_str(), 0700));
    ASSERT_EQ(0, chmod((root + "/objects").c_str(), 0777));
    refused("objects/ open to all", CreateMutexA(nullptr, FALSE, "PELORIM_X_DETACH_MUTEX") == nullptr);
    if (geteuid() == 0) {
        ASSERT_EQ(0, chmod((root + "/objects").c_str(), 0700));
        ASSERT_EQ(0, chown((root + "/objects").c_str(), 1, 1));
        refused("objects/ of another owner", CreateMutexA(nullptr, FALSE, "PELORIM_X_DETACH_MUTEX") == nullptr);
    }
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/files").c_str()));
    std::string log = harness::MakeTempDirectory("pelorim-log") + "/service.log";
    refused("files/ a link", Open(log, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS) == INVALID_HANDLE_VALUE);
    ASSERT_EQ(0, symlink(outside.c_str(), (root + "/pipes").c_str()));
    refused("pipes/ a link", CreateNamedPipeA("\\\\.\\PIPE\\PELORIM_X_STDOUT", PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0,
                                              1, 4096, 4096, 0, nullptr) == INVALID_HANDLE_VALUE);

    EXPECT_EQ("precious", Contents(victim));
    DIR *directory = opendir(outside.c_str());
    ASSERT_NE(nullptr, directory);
    std::vector<std::string> entries;
    while (struct dirent *entry = readdir(directory))
        if (entry->d_name[0] != '.') entries.push_back(entry->d_name);
    closedir(directory);
    EXPECT_EQ(std::vector<std::string>{"victim"}, entries);
}

/* A planted sync.shm (the root's page of locks) fails every named object with
 * 5: a page of the process's own would cut its objects off from every other
 * process without a word. Unnamed objects need no page. */
TEST(File, APlantedLockPageFailsNamedObjects) {
    std::string root = harness::MakeFreshRoot();
    std::string victim = harness::MakeTempDirectory("pelorim-outside") + "/victim";
    harness::WriteText(victim, "precious");
    ASSERT_EQ(0, symlink(victim.c_str(), (root + "/sync.shm").c_str()));
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "PELORIM_X_STOP_EVENT"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(SYNCHRONIZE, FALSE, "PELORIM_X_DETACH_MUTEX"));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    HANDLE unnamed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(nullptr, unnamed);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(unnamed, 0));
    CloseHandle(unnamed);
    EXPECT_EQ("precious", Contents(victim));
}

/* A write at offsets all ones goes to the end that the file has then, though
 * another cut it meanwhile with a POSIX call (what a rotation tool's
 * copytruncate does): no hole of NULs before the record. */
TEST(File, AWriteAtTheEndFollowsATruncationFromOutside) {
    harness::MakeFreshRoot();
    std::string path = harness::MakeTempDirectory("pelorim-file") + "/named.log";
    HANDLE file = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello", 5, &written, nullptr));
    OVERLAPPED atEnd = {};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFFu;
    ASSERT_EQ(0, truncate(path.c_str(), 2));
    ASSERT_TRUE(WriteFile(file, "!", 1, &written, &atEnd));
    EXPECT_EQ("he!", Contents(path));
    EXPECT_EQ(3u, SetFilePointer(file, 0, nullptr, FILE_CURRENT));
    CloseHandle(file);
}

/* Linux removes the name of a deleted file at once (links 0), as Windows does
 * with its newer delete; a FIFO that nobody reads is refused at once, never
 * waited for, and is a pipe; a device is a character device. */
TEST(File, DeletedFilesFifosAndDevices) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("pelorim-move");
    std::string path = directory + "/live.log";
    HANDLE shared = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, shared);
    ASSERT_TRUE(DeleteFileA(path.c_str()));
    BY_HANDLE_FILE_INFORMATION info = {};
    ASSERT_TRUE(GetFileInformationByHandle(shared, &info));
    EXPECT_EQ(0u, info.nNumberOfLinks);
    EXPECT_FALSE(harness::FileExists(path));
    CloseHandle(shared);

    std::string fifo = directory + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(fifo, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS));
    EXPECT_EQ((DWORD)ERROR_PIPE_NOT_CONNECTED, GetLastError());
    HANDLE reader = Open(fifo, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ((DWORD)FILE_TYPE_PIPE, GetFileType(reader));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ((DWORD)FILE_TYPE_UNKNOWN, GetFileType(event));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    for (HANDLE handle : {reader, event}) CloseHandle(handle);
}

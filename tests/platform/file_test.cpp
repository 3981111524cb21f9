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

/* Runs `body` in a forked child; its result is the child's exit code. */
template <class Body> int InChild(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Contents(const std::string &path) { return harness::ReadText(path); }

} // namespace

TEST(File, DispositionsAndTheirLastErrors) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("pelorim-file");
    std::string path = directory + "/app.log";
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, 0, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path + "/x", GENERIC_READ, 0, OPEN_EXISTING));

    HANDLE file = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, GetLastError());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(11u, written);
    CloseHandle(file);
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_NORMAL, GetFileAttributesA(path.c_str()));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesA(directory.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((path + "/x").c_str()));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, GetLastError());

    file = Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(11u, SetFilePointer(file, 0, nullptr, FILE_END));
    ASSERT_TRUE(WriteFile(file, "!", 1, &written, nullptr));
    EXPECT_EQ(6u, SetFilePointer(file, 6, nullptr, FILE_BEGIN));
    char buffer[32] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string("world!"), std::string(buffer, read));
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(0u, read); /* end of file is success with nothing read */
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(file, -100, nullptr, FILE_CURRENT));
    EXPECT_EQ((DWORD)ERROR_NEGATIVE_SEEK, GetLastError());
    LONG high = -1; /* the distance is the 64-bit value high:low */
    EXPECT_EQ(2u, SetFilePointer(file, -10, &high, FILE_END));
    EXPECT_EQ(0, high);
    high = 1;
    EXPECT_EQ(2u, SetFilePointer(file, 0, &high, FILE_CURRENT));
    EXPECT_EQ(1, high);
    CloseHandle(file);

    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, 0, CREATE_NEW));
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, GetLastError());
    file = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    CloseHandle(file);
    EXPECT_EQ("", Contents(path));

    harness::WriteText(path, "data");
    file = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_FALSE(WriteFile(file, "x", 1, &written, nullptr));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    /* Deleting a file held without FILE_SHARE_DELETE is refused. */
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    CloseHandle(file);
    file = Open(path, GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    EXPECT_EQ("", Contents(path));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(path.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_FALSE(ReadFile(file, buffer, 1, &read, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(File, ShareModesHoldAcrossProcessesAndDieWithTheHolder) {
    harness::MakeFreshRoot();
    std::string path = harness::MakeTempDirectory("pelorim-share") + "/service.log";
    HANDLE log = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, log);

    /* Another process may read but not write; in-process opens obey the same rule. */
    EXPECT_EQ(0, InChild([&] {
                  HANDLE writer = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
                  if (writer != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) return 1;
                  HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
                  if (reader == INVALID_HANDLE_VALUE) return 2;
                  /* A reader that refuses to share reading conflicts with nobody reading yet... */
                  HANDLE exclusiveReader = Open(path, GENERIC_READ, FILE_SHARE_WRITE, OPEN_EXISTING);
                  /* ...but another reader is there now. */
                  if (exclusiveReader != INVALID_HANDLE_VALUE) return 3;
                  return 0;
              }));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    /* A reader that does not share writing is refused while a writer holds the file. */
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    CloseHandle(log);

    /* A holder that is killed frees the file. */
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = fork();
    if (holder == 0) {
        HANDLE held = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
        char ok = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char ok = 0;
    ASSERT_EQ(1, read(ready[0], &ok, 1));
    ASSERT_EQ('y', ok);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    HANDLE after = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(INVALID_HANDLE_VALUE, after);
    CloseHandle(after);
    close(ready[0]);
    close(ready[1]);
}

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

/* SetEndOfFile cuts at the file pointer; a write at offsets all ones goes to
 * the end of the file; GetFinalPathNameByHandleA follows
 * the open file through a rename. Linux lets a file held open be deleted,
 * which Windows refuses without FILE_SHARE_DELETE: no name is left then. */
TEST(File, EndOfFileAndTheNameThatFollowsTheFile) {
    harness::MakeFreshRoot();
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(harness::MakeTempDirectory("pelorim-file").c_str(), resolved));
    std::string path = std::string(resolved) + "/named.log";
    HANDLE file = Open(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "hello world", 11, &written, nullptr));
    EXPECT_EQ(5u, SetFilePointer(file, 5, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    EXPECT_EQ("hello", Contents(path));
    /* Both offsets all ones write at the end the file has then, though another cut it meanwhile. */
    OVERLAPPED atEnd = {};
    atEnd.Offset = atEnd.OffsetHigh = 0xFFFFFFFFu;
    ASSERT_EQ(0, truncate(path.c_str(), 2));
    ASSERT_TRUE(WriteFile(file, "!", 1, &written, &atEnd));
    EXPECT_EQ("he!", Contents(path));
    EXPECT_EQ(3u, SetFilePointer(file, 0, nullptr, FILE_CURRENT));

    char name[PATH_MAX] = {};
    EXPECT_EQ(path.size(), GetFinalPathNameByHandleA(file, name, sizeof name, 0));
    EXPECT_EQ(path, std::string(name));
    EXPECT_EQ(path.size() + 1, GetFinalPathNameByHandleA(file, name, 4, 0)); /* the size needed, NUL included */
    ASSERT_EQ(0, rename(path.c_str(), (path + ".1").c_str()));
    EXPECT_EQ(path.size() + 2, GetFinalPathNameByHandleA(file, name, sizeof name, 0));
    EXPECT_EQ(path + ".1", std::string(name));
    ASSERT_EQ(0, unlink((path + ".1").c_str()));
    EXPECT_EQ(0u, GetFinalPathNameByHandleA(file, name, sizeof name, 0));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    CloseHandle(file);
    EXPECT_FALSE(SetEndOfFile(file));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(0u, GetFinalPathNameByHandleA(file, name, sizeof name, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

/* A file open without FILE_SHARE_DELETE can be neither renamed nor deleted;
 * with it both work, the handle following the file. The identity and the link
 * count say which file a handle holds; the type tells files from devices and
 * pipes; a FIFO that nobody reads is refused at once, never waited for. */
TEST(File, RenameDeleteIdentityAndType) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("pelorim-move");
    std::string path = directory + "/live.log", moved = directory + "/live.log.1";
    HANDLE locked = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, locked);
    EXPECT_FALSE(MoveFileExA(path.c_str(), moved.c_str(), 0));
    EXPECT_EQ((DWORD)ERROR_SHARING_VIOLATION, GetLastError());
    harness::WriteText(moved, "older");
    EXPECT_FALSE(MoveFileExA(moved.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ("older", Contents(moved));
    CloseHandle(locked);

    HANDLE shared = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, shared);
    EXPECT_EQ((DWORD)FILE_TYPE_DISK, GetFileType(shared));
    EXPECT_FALSE(MoveFileExA(path.c_str(), moved.c_str(), 0));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    ASSERT_TRUE(MoveFileExA(path.c_str(), moved.c_str(), MOVEFILE_REPLACE_EXISTING));
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(shared, "x", 1, &written, nullptr));
    EXPECT_EQ("x", Contents(moved));
    EXPECT_FALSE(harness::FileExists(path));

    HANDLE again = Open(moved, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, again);
    BY_HANDLE_FILE_INFORMATION first = {}, second = {};
    ASSERT_TRUE(GetFileInformationByHandle(shared, &first));
    ASSERT_TRUE(GetFileInformationByHandle(again, &second));
    EXPECT_EQ(first.dwVolumeSerialNumber, second.dwVolumeSerialNumber);
    EXPECT_EQ(first.nFileIndexLow, second.nFileIndexLow);
    EXPECT_EQ(first.nFileIndexHigh, second.nFileIndexHigh);
    EXPECT_EQ(1u, first.nFileSizeLow);
    EXPECT_EQ(1u, first.nNumberOfLinks);
    CloseHandle(again);
    ASSERT_TRUE(DeleteFileA(moved.c_str()));
    ASSERT_TRUE(GetFileInformationByHandle(shared, &first));
    EXPECT_EQ(0u, first.nNumberOfLinks);
    CloseHandle(shared);

    std::string fifo = directory + "/fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(fifo, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS));
    EXPECT_EQ((DWORD)ERROR_PIPE_NOT_CONNECTED, GetLastError());
    HANDLE reader = Open(fifo, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, reader);
    EXPECT_EQ((DWORD)FILE_TYPE_PIPE, GetFileType(reader));
    HANDLE device = Open("/dev/null", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    EXPECT_EQ((DWORD)FILE_TYPE_CHAR, GetFileType(device));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ((DWORD)FILE_TYPE_UNKNOWN, GetFileType(event));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    for (HANDLE handle : {reader, device, event}) CloseHandle(handle);
}

/* Named events and mutexes as files under the root: what only POSIX shows of
 * them. Their Win32 behaviour is held against Windows in tests/conformance. */
#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "objtool_child.h"

namespace {

/* The entries of <root>/objects (named objects' files). */
int NamedObjectFiles() {
    DIR *directory = opendir((harness::Root() + "/objects").c_str());
    if (!directory) return 0;
    int count = 0;
    while (struct dirent *entry = readdir(directory))
        if (entry->d_name[0] != '.') count++;
    closedir(directory);
    return count;
}

} // namespace

/* A named object is a file under the root's objects/ while some handle holds
 * it, and any name stays inside the root (Windows refuses a backslash in a
 * name; the layer takes every name, as a file of its own). */
TEST(Sync, ANamedObjectIsAFileUnderTheRootWhileHeld) {
    harness::MakeFreshRoot();
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Stop");
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "Pelorim_Test_Stop");
    ASSERT_NE(nullptr, second);
    HANDLE strange = CreateEventA(nullptr, TRUE, FALSE, "..\\..//etc/passwd");
    ASSERT_NE(nullptr, strange);
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(2, NamedObjectFiles());
    CloseHandle(strange);
    CloseHandle(first);
    EXPECT_EQ(1, NamedObjectFiles());
    CloseHandle(second);
    EXPECT_EQ(0, NamedObjectFiles());
}

/* A process that ends without closing leaves no file of what only it held. */
TEST(Sync, AnEndingProcessLeavesNoFileOfItsObjects) {
    harness::MakeFreshRoot();
    HANDLE shared = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Shared");
    for (const char *ending : {"exit", "exit-process"}) {
        std::vector<std::string> steps = {"create-event:Pelorim_Test_Own:1:0",
                                          "open-event:Pelorim_Test_Shared"};
        if (std::string(ending) == "exit-process") steps.push_back("exit-process");
        ObjtoolChild child(steps);
        EXPECT_EQ("ok 0", child.ReadLine());
        EXPECT_EQ("ok", child.ReadLine());
        child.Wait();
        EXPECT_EQ(1, NamedObjectFiles()) << ending;
    }
    CloseHandle(shared);
    EXPECT_EQ(0, NamedObjectFiles());
}

/* A record made by an older build, whose signallers do not bump the root's
 * changes word, is held by a live process: it is refused as a record of
 * another type, and the two builds never share it. */
TEST(Sync, ARecordOfAnOlderBuildIsNeverShared) {
    std::string root = harness::MakeFreshRoot();
    ASSERT_EQ(0, mkdir((root + "/objects").c_str(), 0700));
    int fd = open((root + "/objects/Pelorim_Test_Old").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    const uint32_t record[12] = {0x504b4f32, 1 /* event */, 1 /* manual reset */};
    ASSERT_EQ((ssize_t)sizeof record, write(fd, record, sizeof record));
    ASSERT_EQ(0, flock(fd, LOCK_SH));
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Old"));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Old"));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    close(fd);
    /* Nobody holds it any more: it is stale, and a new object takes its place. */
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Old");
    EXPECT_NE(nullptr, fresh);
    EXPECT_EQ(0u, GetLastError());
    CloseHandle(fresh);
}

/* The root's file system is full: a new object fails with ERROR_DISK_FULL
 * instead of dying of SIGBUS at the first write to its page, except the one
 * that the root's spare record stands in for; the same holds for a root whose
 * page of locks is made on the full disk. */
TEST(Sync, ANewObjectOnAFullDiskFailsWithDiskFull) {
    std::string root = harness::MakeFreshRoot();
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", root.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0)
        GTEST_SKIP() << "skipped: no tmpfs of the test's own for the root here (needs root or CAP_SYS_ADMIN): "
                     << strerror(errno);
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Before");
    ASSERT_NE(nullptr, first) << GetLastError();
    int filler = open((root + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(filler, 0);
    static const char block[4096] = {};
    while (write(filler, block, sizeof block) > 0) {
    }
    EXPECT_EQ(ENOSPC, errno);
    HANDLE spare = CreateMutexA(nullptr, FALSE, "Pelorim_Test_Spare");
    EXPECT_NE(nullptr, spare) << GetLastError();
    EXPECT_EQ(nullptr, CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Full"));
    EXPECT_EQ((DWORD)ERROR_DISK_FULL, GetLastError());
    HANDLE again = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Before");
    EXPECT_NE(nullptr, again) << "an existing object still opens";
    CloseHandle(again);

    ASSERT_EQ(0, mkdir((root + "/other").c_str(), 0700));
    setenv("PELORIM_ROOT", (root + "/other").c_str(), 1);
    ObjtoolChild child({"create-event:Pelorim_Test_Elsewhere:1:0"});
    EXPECT_EQ("fail " + std::to_string(ERROR_DISK_FULL), child.ReadLine());
    child.Wait();
    setenv("PELORIM_ROOT", root.c_str(), 1);

    close(filler);
    ASSERT_EQ(0, unlink((root + "/filler").c_str()));
    HANDLE roomy = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Full");
    EXPECT_NE(nullptr, roomy) << GetLastError();
    for (HANDLE handle : {first, spare, roomy}) CloseHandle(handle);
}

/* Events and mutexes, in one process and across processes of one root. */
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
#include <time.h>
#include <unistd.h>

#include <string>

#include "harness.h"
#include "objtool_child.h"

namespace {

double SecondsNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

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

struct MutexJob {
    HANDLE mutex;
    DWORD waited;
    BOOL released;
    DWORD releaseError;
};

DWORD WINAPI TakeAndKeep(LPVOID parameter) {
    MutexJob *job = (MutexJob *)parameter;
    job->waited = WaitForSingleObject(job->mutex, 5000);
    return 0;
}

DWORD WINAPI ReleaseForeign(LPVOID parameter) {
    MutexJob *job = (MutexJob *)parameter;
    job->released = ReleaseMutex(job->mutex);
    job->releaseError = GetLastError();
    job->waited = WaitForSingleObject(job->mutex, 50);
    return 0;
}

} // namespace

TEST(Sync, ManualAndAutomaticReset) {
    harness::MakeFreshRoot();
    HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE automatic = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(manual, 0));
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(manual, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_TRUE(SetEvent(automatic));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(automatic, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(automatic, 0));
    CloseHandle(manual);
    CloseHandle(automatic);
}

TEST(Sync, NamesAreSharedAndReportedWhenTheyExist) {
    harness::MakeFreshRoot();
    SetLastError(12345);
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Stop");
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0u, GetLastError());
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, "Pelorim_Test_Stop");
    ASSERT_NE(nullptr, second);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_NE(first, second);
    /* The existing object keeps its manual reset and unsignalled state. */
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(second, 0));
    SetEvent(second);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    HANDLE opened = OpenEventA(EVENT_MODIFY_STATE, FALSE, "Pelorim_Test_Stop");
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));

    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Missing"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Pelorim_Test_Missing"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    /* A name belongs to one type. */
    EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, "Pelorim_Test_Stop"));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Pelorim_Test_Stop"));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    /* Names never reach outside the root. */
    HANDLE strange = CreateEventA(nullptr, TRUE, FALSE, "..\\..//etc/passwd");
    ASSERT_NE(nullptr, strange);
    EXPECT_EQ(0u, GetLastError());
    CloseHandle(strange);

    CloseHandle(first);
    CloseHandle(second);
    EXPECT_EQ(1, NamedObjectFiles());
    CloseHandle(opened);
    /* The last handle removes the object. */
    EXPECT_EQ(0, NamedObjectFiles());
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Stop"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(Sync, MutexOwnershipIsRecursiveAndPerThread) {
    harness::MakeFreshRoot();
    SetLastError(12345);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "Pelorim_Test_Mutex");
    ASSERT_NE(nullptr, mutex);
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));

    MutexJob job = {mutex, 0, TRUE, 0};
    HANDLE thread = CreateThread(nullptr, 0, ReleaseForeign, &job, 0, nullptr);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    EXPECT_FALSE(job.released);
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, job.releaseError);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, job.waited);

    /* Owned twice: released twice before another thread gets it. */
    EXPECT_TRUE(ReleaseMutex(mutex));
    job.waited = 0;
    thread = CreateThread(nullptr, 0, ReleaseForeign, &job, 0, nullptr);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, job.waited);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());

    /* bInitialOwner is ignored for an existing name. */
    HANDLE again = CreateMutexA(nullptr, TRUE, "Pelorim_Test_Mutex");
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_FALSE(ReleaseMutex(again));
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());
    CloseHandle(again);
    CloseHandle(mutex);
}

TEST(Sync, MutexOfAnEndedThreadIsAbandoned) {
    harness::MakeFreshRoot();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    MutexJob job = {mutex, 0, FALSE, 0};
    HANDLE thread = CreateThread(nullptr, 0, TakeAndKeep, &job, 0, nullptr);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    EXPECT_EQ(WAIT_OBJECT_0, job.waited);
    CloseHandle(thread);
    EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(mutex, 5000));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(Sync, EventsAreSignalledAcrossProcesses) {
    harness::MakeFreshRoot();
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, "Pelorim_Test_Run");
    ASSERT_NE(nullptr, event);
    ObjtoolChild child({"open-event:Pelorim_Test_Run", "hold", "set", "hold", "wait:10000"});
    ASSERT_EQ("ok", child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    double start = SecondsNow();
    child.Continue();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10000));
    EXPECT_LT(SecondsNow() - start, 5.0);
    ASSERT_EQ("ok", child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    child.Continue();
    /* Now the child sleeps in its wait; our signal must reach it promptly. */
    Sleep(100);
    start = SecondsNow();
    SetEvent(event);
    EXPECT_EQ(std::to_string(WAIT_OBJECT_0), child.ReadLine());
    EXPECT_LT(SecondsNow() - start, 2.0);
    child.Wait();
    CloseHandle(event);
    EXPECT_EQ(0, NamedObjectFiles());
}

TEST(Sync, AKilledHolderKeepsNothingAlive) {
    harness::MakeFreshRoot();
    ObjtoolChild child({"create-event:Pelorim_Test_Held:1:1", "create-mutex:Pelorim_Test_Lock:1",
                        "hold"});
    ASSERT_EQ("ok 0", child.ReadLine());
    ASSERT_EQ("ok 0", child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Held");
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));
    CloseHandle(opened);
    child.Kill();
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Held"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "Pelorim_Test_Lock"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    /* A new object of the name starts afresh. */
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, "Pelorim_Test_Held");
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(fresh, 0));
    CloseHandle(fresh);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Pelorim_Test_Lock");
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    CloseHandle(mutex);
}

TEST(Sync, MutexOfAKilledProcessIsAbandoned) {
    harness::MakeFreshRoot();
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Pelorim_Test_Shutdown");
    ObjtoolChild child({"open-mutex:Pelorim_Test_Shutdown", "wait:5000", "hold"});
    ASSERT_EQ("ok", child.ReadLine());
    ASSERT_EQ(std::to_string(WAIT_OBJECT_0), child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mutex, 100));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());
    double start = SecondsNow();
    child.Kill();
    EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(mutex, 10000));
    EXPECT_LT(SecondsNow() - start, 5.0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(Sync, MutexReleasedByAnotherProcessWakesTheWaiter) {
    harness::MakeFreshRoot();
    ObjtoolChild child({"create-mutex:Pelorim_Test_Handover:1", "hold", "release", "hold"});
    ASSERT_EQ("ok 0", child.ReadLine());
    ASSERT_EQ("holding", child.ReadLine());
    HANDLE mutex = CreateMutexA(nullptr, TRUE, "Pelorim_Test_Handover");
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mutex, 50));
    child.EndHold();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 10000));
    EXPECT_EQ("ok", child.ReadLine());
    EXPECT_TRUE(ReleaseMutex(mutex));
    child.Wait();
    CloseHandle(mutex);
}

TEST(Sync, AnEndingProcessTakesItsObjectsAlong) {
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
        /* Ended without closing: what only it held is gone, what we share stays. */
        EXPECT_EQ(1, NamedObjectFiles()) << ending;
        EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, "Pelorim_Test_Own"));
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
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

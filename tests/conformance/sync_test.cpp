/* Events and mutexes, in one process and across processes. */
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "conformance.h"

namespace {

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

class Sync : public testing::Test {
protected:
    void SetUp() override { conformance::PrepareMachine(); }

    /* A name of this test's own for `stem`. */
    static std::string Name(const char *stem) { return conformance::UniqueName(stem); }
};

/* A manual-reset event that a child's "hold" step waits for; Go lets it on. */
class Gate {
public:
    Gate() : name_(conformance::UniqueName("Gate")), event_(CreateEventA(NULL, FALSE, FALSE, name_.c_str())) {}
    ~Gate() { CloseHandle(event_); }
    const std::string &Name() const { return name_; }
    void Go() { SetEvent(event_); }

private:
    std::string name_;
    HANDLE event_;
};

DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

} // namespace

TEST_F(Sync, ManualAndAutomaticReset) {
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

TEST_F(Sync, NamesAreSharedAndReportedWhenTheyExist) {
    std::string stop = Name("Stop"), missing = Name("Missing");
    SetLastError(12345);
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, stop.c_str());
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0u, GetLastError());
    HANDLE second = CreateEventA(nullptr, FALSE, TRUE, stop.c_str());
    ASSERT_NE(nullptr, second);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_NE(first, second);
    /* The existing object keeps its manual reset and unsignalled state. */
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(second, 0));
    SetEvent(second);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    HANDLE opened = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, stop.c_str());
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));

    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, missing.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, missing.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    /* A name belongs to one type. */
    EXPECT_EQ(nullptr, CreateMutexA(nullptr, FALSE, stop.c_str()));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, stop.c_str()));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    /* The last handle removes the object. */
    CloseHandle(first);
    CloseHandle(second);
    CloseHandle(opened);
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, stop.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(Sync, MutexOwnershipIsRecursiveAndPerThread) {
    std::string name = Name("Mutex");
    SetLastError(12345);
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
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
    HANDLE again = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_FALSE(ReleaseMutex(again));
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());
    CloseHandle(again);
    CloseHandle(mutex);
}

TEST_F(Sync, MutexOfAnEndedThreadIsAbandoned) {
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

TEST_F(Sync, EventsAreSignalledAcrossProcesses) {
    std::string run = Name("Run");
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, run.c_str());
    ASSERT_NE(nullptr, event);
    Gate first, second;
    conformance::Child child("open-event " + run + " hold " + first.Name() + " set hold " + second.Name() +
                             " wait 10000");
    ASSERT_EQ("ok", child.Line());
    ASSERT_EQ("holding", child.Line());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    DWORD start = GetTickCount();
    first.Go();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 10000));
    EXPECT_LT(Elapsed(start), 5000u);
    ASSERT_EQ("ok", child.Line());
    ASSERT_EQ("holding", child.Line());
    second.Go();
    /* Now the child sleeps in its wait; our signal must reach it promptly. */
    Sleep(100);
    start = GetTickCount();
    SetEvent(event);
    EXPECT_EQ(std::to_string(WAIT_OBJECT_0), child.Line());
    EXPECT_LT(Elapsed(start), 2000u);
    child.Finish();
    CloseHandle(event);
}

TEST_F(Sync, AKilledHolderKeepsNothingAlive) {
    std::string held = Name("Held"), lock = Name("Lock");
    Gate never;
    conformance::Child child("event " + held + " 1 1 mutex " + lock + " 1 hold " + never.Name());
    ASSERT_EQ("ok 0", child.Line());
    ASSERT_EQ("ok 0", child.Line());
    ASSERT_EQ("holding", child.Line());
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, held.c_str());
    ASSERT_NE(nullptr, opened);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(opened, 0));
    CloseHandle(opened);
    ASSERT_TRUE(TerminateProcess(child.Process(), 1));
    child.Finish();
    EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, held.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(nullptr, OpenMutexA(MUTEX_ALL_ACCESS, FALSE, lock.c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    /* A new object of the name starts afresh. */
    HANDLE fresh = CreateEventA(nullptr, TRUE, FALSE, held.c_str());
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(fresh, 0));
    CloseHandle(fresh);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, lock.c_str());
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

TEST_F(Sync, MutexOfAKilledProcessIsAbandoned) {
    std::string name = Name("Shutdown");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
    Gate never;
    conformance::Child child("open-mutex " + name + " wait 5000 hold " + never.Name());
    ASSERT_EQ("ok", child.Line());
    ASSERT_EQ(std::to_string(WAIT_OBJECT_0), child.Line());
    ASSERT_EQ("holding", child.Line());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mutex, 100));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ((DWORD)ERROR_NOT_OWNER, GetLastError());
    DWORD start = GetTickCount();
    ASSERT_TRUE(TerminateProcess(child.Process(), 1));
    EXPECT_EQ(WAIT_ABANDONED_0, WaitForSingleObject(mutex, 10000));
    EXPECT_LT(Elapsed(start), 5000u);
    EXPECT_TRUE(ReleaseMutex(mutex));
    child.Finish();
    CloseHandle(mutex);
}

TEST_F(Sync, MutexReleasedByAnotherProcessWakesTheWaiter) {
    std::string name = Name("Handover");
    Gate gate;
    conformance::Child child("mutex " + name + " 1 hold " + gate.Name() + " release sleep 300");
    ASSERT_EQ("ok 0", child.Line());
    ASSERT_EQ("holding", child.Line());
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(mutex, 50));
    gate.Go();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 10000));
    EXPECT_EQ("ok", child.Line());
    EXPECT_TRUE(ReleaseMutex(mutex));
    child.Finish();
    CloseHandle(mutex);
}

/* Ended without closing, by its own end or by ExitProcess: what only the
 * process held is gone, what it shared stays. */
TEST_F(Sync, AnEndingProcessTakesItsObjectsAlong) {
    std::string shared = Name("Shared"), own = Name("Own");
    HANDLE sharedEvent = CreateEventA(nullptr, TRUE, FALSE, shared.c_str());
    for (const char *ending : {"", " exit 3"}) {
        conformance::Child child("event " + own + " 1 0 open-event " + shared + ending);
        EXPECT_EQ("ok 0", child.Line());
        EXPECT_EQ("ok", child.Line());
        child.Finish();
        EXPECT_EQ(nullptr, OpenEventA(EVENT_ALL_ACCESS, FALSE, own.c_str())) << ending;
        EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
        HANDLE still = OpenEventA(EVENT_ALL_ACCESS, FALSE, shared.c_str());
        EXPECT_NE(nullptr, still) << ending;
        CloseHandle(still);
    }
    CloseHandle(sharedEvent);
}

/* Threads, handles and the current process. */
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include "conformance.h"

namespace {

struct Worker {
    HANDLE go;
    DWORD result;
    std::atomic<DWORD> threadId{0};
    std::atomic<bool> finished{false};
};

DWORD WINAPI WaitThenReturn(LPVOID parameter) {
    Worker *worker = (Worker *)parameter;
    worker->threadId = GetCurrentThreadId();
    WaitForSingleObject(worker->go, INFINITE);
    worker->finished = true;
    return worker->result;
}

} // namespace

TEST(Thread, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    conformance::PrepareMachine();
    Worker worker;
    worker.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    worker.result = 42;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &worker, 0, &id);
    ASSERT_NE(nullptr, thread);
    ASSERT_NE(INVALID_HANDLE_VALUE, thread);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ((DWORD)STILL_ACTIVE, code);
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 50));
    SetEvent(worker.go);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(42u, code);
    EXPECT_EQ(id, worker.threadId.load());
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(worker.go);
}

/* Windows ends the thread; the POSIX layer cannot, and lets it run on (its
 * README says so, and tests/platform holds that part): what both do is
 * signal the handle at once with the code given. The worker outlives the
 * test for the layer's sake. */
TEST(Thread, TerminateSignalsTheHandleAtOnceWithItsCode) {
    conformance::PrepareMachine();
    static Worker worker;
    worker.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    worker.result = 7;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &worker, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    /* Ended while it waits, as a forced stop finds an application thread;
     * Wine's 32-bit loader may crash when a thread is ended while it starts. */
    ASSERT_TRUE(conformance::WaitFor([] { return worker.threadId.load() != 0; }, 5000));
    Sleep(100);
    HANDLE waitSet[2] = {worker.go, thread};
    EXPECT_TRUE(TerminateThread(thread, 10));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, waitSet, FALSE, 1000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(10u, code);
    EXPECT_FALSE(worker.finished.load());
    CloseHandle(thread);
}

TEST(Thread, HandlesAreDistinctAndClosedOnce) {
    conformance::PrepareMachine();
    HANDLE first = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE second = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(SetEvent(first));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    /* A handle of another kind is not an event. */
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(mutex));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(mutex);
    CloseHandle(second);
}

TEST(Thread, PriorityClassOfTheCurrentProcess) {
    conformance::PrepareMachine();
    HANDLE self = GetCurrentProcess();
    EXPECT_TRUE(SetPriorityClass(self, BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ((DWORD)BELOW_NORMAL_PRIORITY_CLASS, GetPriorityClass(self));
    EXPECT_TRUE(SetPriorityClass(self, IDLE_PRIORITY_CLASS));
    EXPECT_EQ((DWORD)IDLE_PRIORITY_CLASS, GetPriorityClass(self));
    /* Raising may exceed this user's rights; the call still succeeds. */
    EXPECT_TRUE(SetPriorityClass(self, HIGH_PRIORITY_CLASS));
    EXPECT_FALSE(SetPriorityClass(self, 0x12345));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

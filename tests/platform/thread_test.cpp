/* Threads, handles and the current process. */
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "harness.h"

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

DWORD WINAPI UseDeepStack(LPVOID) {
    /* A JVM-hosting thread needs far more than a small default stack. */
    volatile char frame[6 << 20];
    memset((char *)frame, 1, sizeof frame);
    return frame[sizeof frame - 1];
}

} // namespace

TEST(Thread, ExitCodeIsStillActiveUntilTheRoutineReturns) {
    harness::MakeFreshRoot();
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

TEST(Thread, TerminateSignalsTheHandleAtOnceWhileTheThreadRunsOn) {
    harness::MakeFreshRoot();
    Worker worker;
    worker.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    worker.result = 7;
    HANDLE thread = CreateThread(nullptr, 0, WaitThenReturn, &worker, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    HANDLE waitSet[2] = {worker.go, thread};
    EXPECT_TRUE(TerminateThread(thread, 10));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, waitSet, FALSE, 1000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(10u, code);
    /* The thread was not stopped; when it returns, the exit code stays. */
    EXPECT_FALSE(worker.finished.load());
    SetEvent(worker.go);
    EXPECT_TRUE(harness::WaitFor([&] { return worker.finished.load(); }, 5));
    Sleep(50);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(10u, code);
    CloseHandle(thread);
    CloseHandle(worker.go);
}

TEST(Thread, DefaultStackHostsDeepFrames) {
    harness::MakeFreshRoot();
    HANDLE thread = CreateThread(nullptr, 0, UseDeepStack, nullptr, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(1u, code);
    CloseHandle(thread);
}

TEST(Thread, HandlesAreDistinctAndClosedOnce) {
    harness::MakeFreshRoot();
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
    harness::MakeFreshRoot();
    HANDLE self = GetCurrentProcess();
    EXPECT_TRUE(SetPriorityClass(self, BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ((DWORD)BELOW_NORMAL_PRIORITY_CLASS, GetPriorityClass(self));
    EXPECT_TRUE(SetPriorityClass(self, IDLE_PRIORITY_CLASS));
    EXPECT_EQ((DWORD)IDLE_PRIORITY_CLASS, GetPriorityClass(self));
    /* Raising may exceed this user's rights; the call still succeeds. */
    EXPECT_TRUE(SetPriorityClass(self, HIGH_PRIORITY_CLASS));
    EXPECT_FALSE(SetPriorityClass(self, 0x12345));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(getpid(), (pid_t)GetCurrentProcessId());
}

/* Threads and the current process where POSIX shows what Windows does not. */
#include <windows.h>

#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "harness.h"

namespace {

struct Worker {
    HANDLE go;
    std::atomic<bool> finished{false};
};

DWORD WINAPI WaitThenFinish(LPVOID parameter) {
    Worker *worker = (Worker *)parameter;
    WaitForSingleObject(worker->go, INFINITE);
    worker->finished = true;
    return 7;
}

DWORD WINAPI UseDeepStack(LPVOID) {
    /* A JVM-hosting thread needs far more than a small default stack. */
    volatile char frame[6 << 20];
    memset((char *)frame, 1, sizeof frame);
    return frame[sizeof frame - 1];
}

} // namespace

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

TEST(Thread, ProcessIdIsThePid) {
    harness::MakeFreshRoot();
    EXPECT_EQ(getpid(), (pid_t)GetCurrentProcessId());
}

/* POSIX cannot end one thread of a process: the layer signals the handle with
 * the code given and lets the thread run on; its return changes nothing. */
TEST(Thread, TerminatedThreadRunsOnAndKeepsTheCodeGiven) {
    harness::MakeFreshRoot();
    Worker worker;
    worker.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, WaitThenFinish, &worker, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_TRUE(TerminateThread(thread, 10));
    SetEvent(worker.go);
    EXPECT_TRUE(harness::WaitFor([&] { return worker.finished.load(); }, 5));
    Sleep(50);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(10u, code);
    CloseHandle(thread);
    CloseHandle(worker.go);
}

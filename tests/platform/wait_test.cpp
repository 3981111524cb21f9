/* Waits as the kernel sees them: an idle waiter sleeps until its own object changes. */
#include <windows.h>

#include <gtest/gtest.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "harness.h"

namespace {

/* How often the kernel has put thread `tid` of this process to sleep. */
long SleepsOfThread(DWORD tid) {
    char path[64], line[128];
    snprintf(path, sizeof path, "/proc/self/task/%lu/status", (unsigned long)tid);
    FILE *status = fopen(path, "r");
    long sleeps = -1;
    while (status && fgets(line, sizeof line, status))
        if (strncmp(line, "voluntary_ctxt_switches:", 24) == 0) sleeps = atol(line + 24);
    if (status) fclose(status);
    return sleeps;
}

struct SleepingWaiter {
    HANDLE objects[2];
    DWORD count;
    DWORD result;
};

DWORD WINAPI WaitWithoutLimit(LPVOID parameter) {
    SleepingWaiter *waiter = (SleepingWaiter *)parameter;
    waiter->result = WaitForMultipleObjects(waiter->count, waiter->objects, FALSE, INFINITE);
    return 0;
}

struct TimedWaiter {
    HANDLE event;
    DWORD result;
};

DWORD WINAPI WaitThreeHundredMs(LPVOID parameter) {
    TimedWaiter *job = (TimedWaiter *)parameter;
    job->result = WaitForSingleObject(job->event, 300);
    return 0;
}

} // namespace

/* Whether the kernel lets this process call futex_waitv (Linux 5.16 and later). */
static bool KernelHasFutexWaitv() {
    return syscall(449 /* futex_waitv */, nullptr, 0, 0, nullptr, 0) < 0 && errno == EINVAL;
}

/* An idle waiter sleeps until a signal. Signals to other objects, private or
 * named, must not wake it either: a chatty pipe reader would otherwise keep
 * every idle thread busy. Without futex_waitv a wait on several objects hears
 * the signals of every object of its process and root, but still no others. */
TEST(Wait, OnlyTheWaitersOfAChangedObjectWake) {
    harness::MakeFreshRoot();
    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, "WaitTestMine");
    HANDLE minePrivate = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE others[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, "WaitTestOther")};
    SleepingWaiter single = {{mine, nullptr}, 1, 0};
    SleepingWaiter mixed = {{minePrivate, mine}, 2, 0};
    DWORD singleId = 0, mixedId = 0;
    HANDLE threads[2] = {CreateThread(nullptr, 0, WaitWithoutLimit, &single, 0, &singleId),
                         CreateThread(nullptr, 0, WaitWithoutLimit, &mixed, 0, &mixedId)};
    Sleep(200);
    long before[2] = {SleepsOfThread(singleId), SleepsOfThread(mixedId)};
    ASSERT_GE(before[0], 0);
    Sleep(500);
    /* Margin for stray wake-ups; looking now and then would be dozens. */
    EXPECT_LT(SleepsOfThread(singleId) - before[0], 10);
    EXPECT_LT(SleepsOfThread(mixedId) - before[1], 10);
    before[0] = SleepsOfThread(singleId), before[1] = SleepsOfThread(mixedId);
    /* Spaced out, so that a waiter woken by each would run each time. */
    for (int i = 0; i < 300; i++) {
        SetEvent(others[i % 2]);
        WaitForSingleObject(others[i % 2], 0);
        Sleep(1);
    }
    /* Margin for stray wake-ups; a wake per signal would be about 300. */
    EXPECT_LT(SleepsOfThread(singleId) - before[0], 50);
    if (KernelHasFutexWaitv()) {
        EXPECT_LT(SleepsOfThread(mixedId) - before[1], 50);
    }
    SetEvent(mine);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForMultipleObjects(2, threads, TRUE, 5000));
    EXPECT_EQ(WAIT_OBJECT_0, single.result);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, mixed.result);
    for (HANDLE handle : threads) CloseHandle(handle);
    for (HANDLE handle : others) CloseHandle(handle);
    CloseHandle(mine);
    CloseHandle(minePrivate);
}


/* Windows leaves a wait on a handle closed under it undefined; the layer
 * keeps the object until the wait ends, which then runs out as it would. */
TEST(Wait, ClosingAHandleUnderAWaiterIsSafe) {
    harness::MakeFreshRoot();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    TimedWaiter job = {event, 0};
    HANDLE waiter = CreateThread(nullptr, 0, WaitThreeHundredMs, &job, 0, nullptr);
    Sleep(50);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiter, 5000));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, job.result);
    CloseHandle(waiter);
}

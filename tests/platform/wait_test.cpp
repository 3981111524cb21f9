/* WaitForSingleObject / WaitForMultipleObjects. */
#include <windows.h>

#include <gtest/gtest.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "harness.h"

namespace {

double SecondsNow() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec + (double)now.tv_nsec / 1e9;
}

struct DelayedSet {
    HANDLE event;
    DWORD delay;
};

DWORD WINAPI SetAfterDelay(LPVOID parameter) {
    DelayedSet *job = (DelayedSet *)parameter;
    Sleep(job->delay);
    SetEvent(job->event);
    return 0;
}

const int kPingPongRounds = 20000;

/* Answers each ping (events[0]) with a pong (events[1]); a ping that never
 * comes gets no answer. */
DWORD WINAPI AnswerPings(LPVOID parameter) {
    HANDLE *events = (HANDLE *)parameter;
    for (int i = 0; i < kPingPongRounds; i++)
        if (WaitForSingleObject(events[0], 10000) == WAIT_OBJECT_0) SetEvent(events[1]);
    return 0;
}

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

} // namespace

TEST(Wait, LowestSignalledIndexWinsAndOnlyTheWinnerIsConsumed) {
    harness::MakeFreshRoot();
    HANDLE events[3];
    for (HANDLE &event : events) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(events[2]);
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, events, FALSE, 0));
    /* events[1] was auto-reset by the wait; events[2] still waits for a taker. */
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForMultipleObjects(3, events, FALSE, 0));
    SetEvent(events[0]);
    SetEvent(events[2]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, events, FALSE, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(events[2], 0));
    for (HANDLE event : events) CloseHandle(event);
}

TEST(Wait, TimeoutsAreKeptWithinMargins) {
    harness::MakeFreshRoot();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    double start = SecondsNow();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_LT(SecondsNow() - start, 0.5);
    start = SecondsNow();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForMultipleObjects(1, &event, FALSE, 300));
    double waited = SecondsNow() - start;
    EXPECT_GE(waited, 0.29);
    EXPECT_LT(waited, 3.0);
    CloseHandle(event);
}

TEST(Wait, SleepingWaiterWakesWhenAnotherThreadSignalsEveryTime) {
    harness::MakeFreshRoot();
    HANDLE events[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    DelayedSet job = {events[1], 200};
    HANDLE thread = CreateThread(nullptr, 0, SetAfterDelay, &job, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    double start = SecondsNow();
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, events, FALSE, INFINITE));
    EXPECT_LT(SecondsNow() - start, 5.0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 5000));
    CloseHandle(thread);

    /* A signaller enters the kernel only when a sleeper has marked the word;
     * a wake-up lost in that hand-over shows as a wait that runs out. Played
     * back and forth through the one-word and the several-word sleep. */
    HANDLE pingPong[2] = {CreateEventA(nullptr, FALSE, FALSE, nullptr), events[1]};
    thread = CreateThread(nullptr, 0, AnswerPings, pingPong, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    int answered = 0;
    for (int i = 0; i < kPingPongRounds; i++) {
        SetEvent(pingPong[0]);
        if (WaitForMultipleObjects(2, events, FALSE, 10000) == WAIT_OBJECT_0 + 1) answered++;
    }
    EXPECT_EQ(kPingPongRounds, answered);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    CloseHandle(pingPong[0]);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST(Wait, WaitAllNeedsEveryObject) {
    harness::MakeFreshRoot();
    HANDLE events[2] = {CreateEventA(nullptr, FALSE, TRUE, nullptr),
                        CreateEventA(nullptr, FALSE, FALSE, nullptr)};
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForMultipleObjects(2, events, TRUE, 50));
    /* A failed wait-all consumes nothing. */
    SetEvent(events[1]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, events, TRUE, 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(events[0], 0));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(events[1], 0));
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST(Wait, BadArgumentsAndHandlesFail) {
    harness::MakeFreshRoot();
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE many[MAXIMUM_WAIT_OBJECTS + 1];
    for (HANDLE &handle : many) handle = event;
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(0, many, FALSE, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, many, FALSE, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, many, FALSE, 0));

    HANDLE closed = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(closed);
    HANDLE mixed[2] = {event, closed};
    EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(2, mixed, FALSE, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(nullptr, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    CloseHandle(event);
}

TEST(Wait, ClosingAHandleUnderAWaiterIsSafe) {
    harness::MakeFreshRoot();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Job {
        HANDLE event;
        DWORD result;
    } job = {event, 0};
    HANDLE waiter = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            Job *job = (Job *)parameter;
            job->result = WaitForSingleObject(job->event, 300);
            return 0;
        },
        &job, 0, nullptr);
    Sleep(50);
    EXPECT_TRUE(CloseHandle(event));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waiter, 5000));
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, job.result);
    CloseHandle(waiter);
}

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


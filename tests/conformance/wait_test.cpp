/* WaitForSingleObject / WaitForMultipleObjects. */
#include <windows.h>

#include <gtest/gtest.h>

#include "conformance.h"

namespace {

/* Windows counts ticks of 10 to 16 ms, and a time-out may end on the tick before. */
double SecondsNow() { return GetTickCount() / 1000.0; }

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

} // namespace

TEST(Wait, LowestSignalledIndexWinsAndOnlyTheWinnerIsConsumed) {
    conformance::PrepareMachine();
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
    conformance::PrepareMachine();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    double start = SecondsNow();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(event, 0));
    EXPECT_LT(SecondsNow() - start, 0.5);
    start = SecondsNow();
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForMultipleObjects(1, &event, FALSE, 300));
    double waited = SecondsNow() - start;
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 3.0);
    CloseHandle(event);
}

TEST(Wait, SleepingWaiterWakesWhenAnotherThreadSignalsEveryTime) {
    conformance::PrepareMachine();
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
    conformance::PrepareMachine();
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
    conformance::PrepareMachine();
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

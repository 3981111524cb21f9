/* Console control events from real signals. */
#include <windows.h>

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "harness.h"

namespace {

std::mutex callsLock;
std::string calls; /* "<handler><event> " per call, in order */
std::atomic<int> callCount{0};
std::atomic<DWORD> handlerThread{0};
std::atomic<int> previousSignal{0};
std::atomic<bool> previousHadInfo{false};

void Record(char handler, DWORD event) {
    std::lock_guard<std::mutex> hold(callsLock);
    calls += handler;
    calls += std::to_string(event);
    calls += ' ';
    handlerThread = GetCurrentThreadId();
    callCount++;
}

std::string Calls() {
    std::lock_guard<std::mutex> hold(callsLock);
    return calls;
}

BOOL WINAPI HandleEverything(DWORD event) {
    Record('A', event);
    return TRUE;
}

BOOL WINAPI HandleOnlyCtrlC(DWORD event) {
    Record('B', event);
    return event == CTRL_C_EVENT;
}

BOOL WINAPI DeclineEverything(DWORD event) {
    Record('C', event);
    return FALSE;
}

void PreviousHandler(int signal, siginfo_t *info, void *) {
    previousHadInfo = info && info->si_signo == signal;
    previousSignal = signal;
}

} // namespace

TEST(Console, SignalsBecomeEventsOnAThreadOfTheirOwn) {
    harness::MakeFreshRoot();
    ASSERT_TRUE(SetConsoleCtrlHandler(HandleEverything, TRUE));
    const int signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
    for (int i = 0; i < 4; i++) {
        kill(getpid(), signals[i]);
        ASSERT_TRUE(harness::WaitFor([&] { return callCount == i + 1; }, 10)) << signals[i];
    }
    EXPECT_EQ("A0 A1 A2 A6 ", Calls());
    EXPECT_NE(GetCurrentThreadId(), handlerThread.load());
}

TEST(Console, NewestHandlerFirstAndDeclinedEventsGoToThePreviousHandler) {
    harness::MakeFreshRoot();
    struct sigaction previous;
    memset(&previous, 0, sizeof previous);
    previous.sa_sigaction = PreviousHandler;
    previous.sa_flags = SA_SIGINFO;
    sigemptyset(&previous.sa_mask);
    sigaction(SIGQUIT, &previous, nullptr);
    sigaction(SIGINT, &previous, nullptr);

    ASSERT_TRUE(SetConsoleCtrlHandler(HandleOnlyCtrlC, TRUE));
    ASSERT_TRUE(SetConsoleCtrlHandler(DeclineEverything, TRUE));
    kill(getpid(), SIGINT);
    ASSERT_TRUE(harness::WaitFor([] { return callCount == 2; }, 10));
    Sleep(100);
    EXPECT_EQ("C0 B0 ", Calls());
    EXPECT_EQ(0, previousSignal.load());

    kill(getpid(), SIGQUIT);
    ASSERT_TRUE(harness::WaitFor([] { return previousSignal != 0; }, 10));
    EXPECT_EQ(SIGQUIT, previousSignal.load());
    EXPECT_TRUE(previousHadInfo.load());
    EXPECT_EQ("C0 B0 C1 B1 ", Calls());

    /* Removed handlers are no longer called; removing an unknown one fails. */
    EXPECT_TRUE(SetConsoleCtrlHandler(HandleOnlyCtrlC, FALSE));
    EXPECT_FALSE(SetConsoleCtrlHandler(HandleOnlyCtrlC, FALSE));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    previousSignal = 0;
    kill(getpid(), SIGINT);
    ASSERT_TRUE(harness::WaitFor([] { return previousSignal != 0; }, 10));
    EXPECT_EQ(SIGINT, previousSignal.load());
    EXPECT_EQ("C0 B0 C1 B1 C0 ", Calls());
}

TEST(Console, DeclinedEventWithDefaultDispositionEndsTheProcess) {
    harness::MakeFreshRoot();
    pid_t child = fork();
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        SetConsoleCtrlHandler(DeclineEverything, TRUE);
        kill(getpid(), SIGTERM);
        Sleep(10000);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));

    /* A handled event leaves the process running. */
    child = fork();
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        SetConsoleCtrlHandler(HandleEverything, TRUE);
        kill(getpid(), SIGTERM);
        Sleep(500);
        _exit(callCount == 1 ? 7 : 8);
    }
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(7, WEXITSTATUS(status));
}

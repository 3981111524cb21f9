/* Named pipes as the output pipe server uses them: one inbound instance,
 * overlapped connect and reads, clients in other processes. */
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "conformance.h"

namespace {

class NamedPipe : public testing::Test {
protected:
    void SetUp() override {
        conformance::PrepareMachine();
        name_ = "\\\\.\\PIPE\\" + conformance::UniqueName("PELORIM_Test") + "_STDOUT";
    }

    const char *Name() const { return name_.c_str(); }

    HANDLE Serve(const char *name = nullptr) {
        return CreateNamedPipeA(name != nullptr ? name : Name(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0,
                                1000, 30000, NULL);
    }

    HANDLE Open() { return CreateFileA(Name(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL); }

    std::string name_;
};

struct Overlapped {
    OVERLAPPED o{};
    Overlapped() { o.hEvent = CreateEventA(NULL, TRUE, TRUE, NULL); }
    ~Overlapped() { CloseHandle(o.hEvent); }
    bool Signalled(DWORD ms = 0) { return WaitForSingleObject(o.hEvent, ms) == WAIT_OBJECT_0; }
};

/* Reads with the OVERLAPPED until something arrives or the read fails; the
 * data, or "error N". */
std::string ReadOverlapped(HANDLE pipe, Overlapped &ov) {
    char buffer[1001];
    DWORD got = 0;
    if (ReadFile(pipe, buffer, 1000, &got, &ov.o)) return std::string(buffer, got);
    if (GetLastError() != ERROR_IO_PENDING) return "error " + std::to_string(GetLastError());
    if (!ov.Signalled(10000)) return "timeout";
    if (GetOverlappedResult(pipe, &ov.o, &got, FALSE)) return std::string(buffer, got);
    return "error " + std::to_string(GetLastError());
}

} // namespace

TEST_F(NamedPipe, OneServerPerNameAcrossProcesses) {
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    std::string otherCase = name_;
    otherCase.replace(4, 4, "pipe");
    EXPECT_EQ(Serve(otherCase.c_str()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_BUSY);
    conformance::Child other("serve " + name_);
    EXPECT_EQ(other.Line(), "busy 231");
    other.Finish();

    ASSERT_TRUE(CloseHandle(server));
    HANDLE again = Serve();
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);

    EXPECT_EQ(Serve("\\\\.\\PIPE\\"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Serve("not a pipe name"), INVALID_HANDLE_VALUE);

    /* A process that ends without closing its pipe takes it along. */
    conformance::Child ended("serve " + name_);
    EXPECT_EQ(ended.Line(), "served");
    ended.Finish();
    again = Serve();
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(again);
}

/* A client reaches only a server whose instance waits for it: with none, the
 * open fails with 2; with the one instance taken, with 231. */
TEST_F(NamedPipe, AClientReachesOnlyAWaitingServer) {
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    conformance::Child first("connect " + name_ + " write one sleep 2000 close");
    ASSERT_EQ(first.Line(), "opened");
    Overlapped ov;
    EXPECT_TRUE(conformance::WaitFor(
        [&] { return !ConnectNamedPipe(server, &ov.o) && GetLastError() == ERROR_PIPE_CONNECTED; }, 5000));
    conformance::Child second("connect " + name_);
    EXPECT_EQ(second.Line(), "failed 231");
    EXPECT_EQ(ReadOverlapped(server, ov), "one");
    second.Finish();
    first.Finish();
    CloseHandle(server);

    conformance::Child dead("serve " + name_ + " sleep 60000");
    ASSERT_EQ(dead.Line(), "served");
    ASSERT_TRUE(TerminateProcess(dead.Process(), 1));
    dead.Finish();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

/* The output pipe server's sequence with a client in another process: connect
 * pending (997), the client's data, then 109 when it closes. */
TEST_F(NamedPipe, PendingConnectThenDataThenBrokenPipe) {
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Overlapped ov;
    char buffer[16];
    DWORD got = 0;
    ASSERT_TRUE(ov.Signalled());
    EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &got, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_LISTENING);
    ASSERT_TRUE(SetEvent(ov.o.hEvent));

    EXPECT_FALSE(ConnectNamedPipe(server, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(ov.Signalled());
    EXPECT_FALSE(GetOverlappedResult(server, &ov.o, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    conformance::Child client("sleep 100 connect " + name_ + " write first sleep 300 write second sleep 300 close");
    ASSERT_TRUE(ov.Signalled(10000));
    EXPECT_TRUE(GetOverlappedResult(server, &ov.o, &got, FALSE));
    EXPECT_EQ(ReadOverlapped(server, ov), "first");
    EXPECT_EQ(ReadOverlapped(server, ov), "second");
    EXPECT_EQ(ReadOverlapped(server, ov), "error 109");
    EXPECT_EQ(client.Line(), "opened");
    EXPECT_EQ(client.Finish(), 0u);

    EXPECT_TRUE(DisconnectNamedPipe(server));
    ASSERT_TRUE(CloseHandle(server));
}

TEST_F(NamedPipe, ClientThatCameFirstGivesPipeConnected) {
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    conformance::Child client("connect " + name_ + " sleep 300 write late close");
    ASSERT_EQ(client.Line(), "opened");
    Overlapped ov;
    ASSERT_TRUE(ov.Signalled());
    EXPECT_FALSE(ConnectNamedPipe(server, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    EXPECT_EQ(ReadOverlapped(server, ov), "late");
    EXPECT_EQ(ReadOverlapped(server, ov), "error 109");
    client.Finish();
    CloseHandle(server);
}

TEST_F(NamedPipe, CancelIoAbortsPendingConnectAndRead) {
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Overlapped ov;
    DWORD got = 0;
    ASSERT_FALSE(ConnectNamedPipe(server, &ov.o));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(CancelIo(server));
    EXPECT_TRUE(ov.Signalled(1000));
    EXPECT_FALSE(GetOverlappedResult(server, &ov.o, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);

    HANDLE client = Open();
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(conformance::WaitFor(
        [&] { return !ConnectNamedPipe(server, &ov.o) && GetLastError() == ERROR_PIPE_CONNECTED; }, 5000));
    char buffer[16];
    EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &got, &ov.o));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(ov.Signalled(100));
    ASSERT_TRUE(CancelIo(server));
    EXPECT_TRUE(ov.Signalled(1000));
    EXPECT_FALSE(GetOverlappedResult(server, &ov.o, &got, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(client, "after", 5, &written, NULL));
    EXPECT_EQ(ReadOverlapped(server, ov), "after");
    CloseHandle(server);
    EXPECT_FALSE(WriteFile(client, "gone", 4, &written, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_DATA);
    CloseHandle(client);
}

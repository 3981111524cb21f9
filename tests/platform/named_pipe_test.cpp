/* Named pipes as FIFOs under the root, and the Java side's way in: an open of
 * the FIFO's path as FileOutputStream does it. What Win32 alone shows of them
 * is held against Windows in tests/conformance. */
#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness.h"
#include "host.h"

namespace {

const char kName[] = "\\\\.\\PIPE\\PELORIM_Test_STDOUT";

std::string Tool() { return "\"" + harness::SupportProgram("childtool") + "\""; }

std::string FifoPath(const char *name) {
    char path[4096];
    EXPECT_EQ(HostJavaPipePath(path, sizeof path, name), 0);
    return path;
}

/* Every entry of a directory, hidden ones included. */
std::vector<std::string> Entries(const std::string &directory) {
    std::vector<std::string> names;
    DIR *listing = opendir(directory.c_str());
    if (listing == nullptr) return names;
    while (struct dirent *entry = readdir(listing))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    closedir(listing);
    return names;
}

HANDLE Serve(const char *name = kName) {
    return CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED, 0, 1, 0, 1000, 30000, NULL);
}

/* A client process, its standard output on a pipe we read line by line. */
struct Client {
    PROCESS_INFORMATION info{};
    HANDLE out = NULL;

    explicit Client(const std::string &steps) {
        SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), NULL, TRUE};
        HANDLE writeEnd;
        EXPECT_TRUE(CreatePipe(&out, &writeEnd, &inherit, 0));
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = writeEnd;
        startup.hStdOutput = writeEnd;
        startup.hStdError = writeEnd;
        std::string line = Tool() + " " + steps;
        EXPECT_TRUE(CreateProcessA(NULL, &line[0], NULL, NULL, TRUE, 0, NULL, NULL, &startup, &info));
        CloseHandle(writeEnd);
    }
    std::string Line() {
        std::string line;
        char c;
        DWORD got;
        while (ReadFile(out, &c, 1, &got, NULL) && c != '\n') line += c;
        return line;
    }
    DWORD Finish() {
        DWORD code = 0;
        EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
        GetExitCodeProcess(info.hProcess, &code);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
        CloseHandle(out);
        return code;
    }
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

TEST(NamedPipe, TheFifoExistsWhileAServerHoldsIt) {
    harness::MakeFreshRoot();
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(harness::FileExists(FifoPath(kName)));
    ASSERT_TRUE(CloseHandle(server));
    EXPECT_FALSE(harness::FileExists(FifoPath(kName)));

    Client ended(std::string("serve ") + kName);
    EXPECT_EQ(ended.Line(), "served");
    ended.Finish();
    EXPECT_FALSE(harness::FileExists(FifoPath(kName)));
}

/* A client that opens the path as Java does (O_CREAT) connects only to a server
 * that waits for its client; otherwise it fails at once and creates nothing,
 * as Windows fails the open of a pipe nobody serves or whose one instance is taken. */
TEST(NamedPipe, AClientReachesOnlyAWaitingServerAndNeverMakesAFile) {
    harness::MakeFreshRoot();
    std::string refused = "failed " + std::to_string(ENOENT);
    Client early(std::string("pipeopen ") + kName);
    EXPECT_EQ(early.Line(), refused);
    EXPECT_EQ(early.Finish(), 91u);
    EXPECT_FALSE(harness::FileExists(FifoPath(kName)));

    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    Client first(std::string("pipeopen ") + kName + " pipewrite one sleep 2000 pipeclose");
    ASSERT_EQ(first.Line(), "opened");
    Overlapped ov;
    EXPECT_TRUE(harness::WaitFor(
        [&] { return !ConnectNamedPipe(server, &ov.o) && GetLastError() == ERROR_PIPE_CONNECTED; }, 5));
    Client second(std::string("pipeopen ") + kName);
    EXPECT_EQ(second.Line(), "failed " + std::to_string(ENOTDIR));
    EXPECT_EQ(CreateFileA(kName, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_BUSY);
    EXPECT_EQ(ReadOverlapped(server, ov), "one");
    second.Finish();
    first.Finish();
    CloseHandle(server);

    Client dead(std::string("serve ") + kName + " sleep 60000");
    ASSERT_EQ(dead.Line(), "served");
    ASSERT_TRUE(TerminateProcess(dead.info.hProcess, 1));
    dead.Finish();
    Client orphan(std::string("pipeopen ") + kName);
    EXPECT_EQ(orphan.Line(), refused);
    orphan.Finish();
    EXPECT_EQ(CreateFileA(kName, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE) << GetLastError();
    HANDLE client = CreateFileA(kName, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    CloseHandle(server);
    EXPECT_EQ(Entries(harness::Root() + "/pipes"), std::vector<std::string>{});
}

/* The output pipe server's sequence with a client in another process that
 * opens the FIFO as Java does: connect pending (997), the client's data, then
 * 109 when it closes. */
TEST(NamedPipe, PendingConnectThenDataThenBrokenPipe) {
    harness::MakeFreshRoot();
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Overlapped ov;
    char buffer[16];
    DWORD got = 0;
    ASSERT_TRUE(ov.Signalled());
    EXPECT_FALSE(ReadFile(server, buffer, sizeof buffer, &got, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_LISTENING);
    EXPECT_FALSE(ov.Signalled());
    ASSERT_TRUE(SetEvent(ov.o.hEvent));

    EXPECT_FALSE(ConnectNamedPipe(server, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(ov.Signalled());
    EXPECT_FALSE(GetOverlappedResult(server, &ov.o, &got, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    Client client(std::string("sleep 100 pipeopen ") + kName +
                  " pipewrite first sleep 300 pipewrite second sleep 300 pipeclose");
    ASSERT_TRUE(ov.Signalled(10000));
    EXPECT_TRUE(GetOverlappedResult(server, &ov.o, &got, FALSE));
    EXPECT_EQ(ReadOverlapped(server, ov), "first");
    EXPECT_EQ(ReadOverlapped(server, ov), "second");
    EXPECT_EQ(ReadOverlapped(server, ov), "error 109");
    EXPECT_EQ(client.Line(), "opened");
    EXPECT_EQ(client.Finish(), 0u);

    EXPECT_TRUE(DisconnectNamedPipe(server));
    ASSERT_TRUE(CloseHandle(server));
    EXPECT_FALSE(harness::FileExists(FifoPath(kName)));
}

TEST(NamedPipe, ClientThatCameFirstGivesPipeConnected) {
    harness::MakeFreshRoot();
    HANDLE server = Serve();
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    Client client(std::string("pipeopen ") + kName + " sleep 300 pipewrite late pipeclose");
    ASSERT_EQ(client.Line(), "opened");
    Overlapped ov;
    ASSERT_TRUE(ov.Signalled());
    EXPECT_FALSE(ConnectNamedPipe(server, &ov.o));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PIPE_CONNECTED);
    EXPECT_FALSE(ov.Signalled()) << "every overlapped call resets the event, as in Win32";
    EXPECT_EQ(ReadOverlapped(server, ov), "late");
    EXPECT_EQ(ReadOverlapped(server, ov), "error 109");
    client.Finish();
    CloseHandle(server);
}

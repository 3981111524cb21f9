#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/settings.h"
#include "harness.h"
#include "log/log.h"

namespace {

class Log : public testing::Test {
  protected:
    void SetUp() override {
        ResetServiceSettings();
        InitializeLog();
        CloseLogFile();
    }
    void TearDown() override {
        CloseLogFile();
        ResetServiceSettings();
    }
    static void CloseLogFile() {
        if (logFileHandle != nullptr) CloseHandle(logFileHandle);
        logFileHandle = nullptr;
    }
    /* A service process named `name` that writes to `logFile` (empty: none). */
    static void EnterServiceMode(const char *name, const std::string &logFile) {
        settings.serviceMode = 1;
        settings.debugLevel = 2;
        CopyField(settings.serviceName, name, NAME_CAPACITY);
        CopyField(settings.logFilePath, logFile.c_str(), LONG_PATH_CAPACITY);
    }
    static std::string Console(const std::function<void()> &action) {
        testing::internal::CaptureStderr();
        action();
        return testing::internal::GetCapturedStderr();
    }
};

TEST_F(Log, ConsoleLinesAreFilteredByDebugLevel) {
    EXPECT_EQ(Console([] {
                  LogError("x");
                  LogMessage("warned", LOG_WARNING);
                  LogMessage("detail", LOG_INFO);
              }),
              "x\n");
    settings.debugLevel = 1;
    EXPECT_EQ(Console([] {
                  LogMessage("warned", LOG_WARNING);
                  LogMessage("detail", LOG_INFO);
              }),
              "warned\n");
    settings.debugLevel = 2;
    EXPECT_EQ(Console([] {
                  LogLabelled("Launching Shutdown Command:", "stop.cmd", LOG_INFO);
                  LogFormatted(LOG_INFO, "%s=%d", "n", 5);
                  LogMessage("two\r\nlines", LOG_ERROR);
              }),
              "Launching Shutdown Command: stop.cmd\nn=5\ntwo\r\nlines\n");
    settings.debugLevel = -1;
    EXPECT_EQ(Console([] { LogError("dropped"); }), "");
}

TEST_F(Log, FormatSystemErrorNamesCallMessageAndCode) {
    char *known = FormatSystemError("OpenEvent", 2);
    std::string text = known;
    free(known);
    EXPECT_EQ(text.rfind("OpenEvent: ", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 4), " (2)");
    EXPECT_EQ(text.find("\r\n"), std::string::npos);
    EXPECT_NE(text.find_first_not_of(" "), std::string::npos);
    EXPECT_NE(text, "OpenEvent: Unknown Error (2)");

    char *unknown = FormatSystemError("Call", 0xE0001234);
    EXPECT_STREQ(unknown, "Call: Unknown Error (-536866252)");
    free(unknown);

    SetLastError(5);
    char *last = FormatSystemError("Last", 0);
    EXPECT_EQ(std::string(last).substr(std::string(last).size() - 4), " (5)");

    char buffer[512];
    SetLastError(5);
    FormatSystemErrorInto(buffer, sizeof buffer, "Last", 0);
    EXPECT_STREQ(buffer, last);
    free(last);
}

TEST_F(Log, ServiceLinesCarryDateTimeAndLevelPrefix) {
    std::string file = harness::MakeTempDirectory("log") + "/service.log";
    harness::WriteText(file, "earlier\r\n");
    EnterServiceMode("LogSvc", file);
    LogError("broken");
    LogMessage("careful", LOG_WARNING);
    LogMessage("two\r\nlines", LOG_INFO);
    EXPECT_EQ(AppendLogLine("plain", 3), 0);
    settings.debugLevel = 0;
    LogMessage("filtered", LOG_WARNING);
    WriteServiceLog("application output", LOG_INFO);

    std::string stamp = "(January|February|March|April|May|June|July|August|September|October|November|December)"
                        " [0-3][0-9], [0-9]{4} [0-2][0-9]:[0-5][0-9]:[0-5][0-9] ";
    std::regex expected("earlier\r\n" + stamp + "ERROR: broken\r\n" + stamp + "WARNING: careful\r\n" + stamp +
                        "INFO: two\r\nlines\r\n" + stamp + "plain\r\n" + stamp + "INFO: application output\r\n");
    std::string content = harness::ReadText(file);
    EXPECT_TRUE(std::regex_match(content, expected)) << content;
}

TEST_F(Log, WithoutLogFileMessagesBecomeEventsOfTheirLevel) {
    harness::MakeFreshRoot();
    EnterServiceMode("EventSvc", "");
    LogError("e");
    LogMessage("w", LOG_WARNING);
    LogMessage("i", LOG_INFO);
    ReportEvent("three", 3);
    ReportEvent("minus", -1);
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 5u);
    const struct {
        int type;
        unsigned long id;
        const char *message;
    } expected[] = {{1, 0xC0000001, "e"},     {2, 0x80000002, "w"},     {4, 0x40000003, "i"},
                    {4, 0x40000003, "three"}, {4, 0x40000003, "minus"}};
    for (size_t i = 0; i < events.size(); i++) {
        EXPECT_EQ(events[i].source, "EventSvc");
        EXPECT_EQ(events[i].type, expected[i].type);
        EXPECT_EQ(events[i].eventId, expected[i].id);
        EXPECT_EQ(events[i].category, 0);
        EXPECT_EQ(events[i].message, expected[i].message);
    }
}

TEST_F(Log, QuietServiceLogsNothingButServiceEvents) {
    harness::MakeFreshRoot();
    std::string file = harness::MakeTempDirectory("log") + "/quiet.log";
    EnterServiceMode("QuietSvc", file);
    settings.eventLogging = 0;
    LogError("dropped");
    WriteServiceLog("output", LOG_INFO);
    ReportEvent("QuietSvc was started.", LOG_INFO);
    EXPECT_FALSE(harness::FileExists(file));
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message, "QuietSvc was started.");
}

/* A log file that cannot be opened is reported once for a run of failures,
 * not once per record, and tried again at each record. */
TEST_F(Log, FailedOpenIsReportedOnceAndRetriedOnTheNextMessage) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("log") + "/later";
    EnterServiceMode("RetrySvc", directory + "/retry.log");
    LogError("first");
    LogError("second");
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, 1);
    EXPECT_EQ(events[0].message.rfind("CreateFile: ", 0), 0u) << events[0].message;
    EXPECT_EQ(events[1].message, "first");
    EXPECT_EQ(events[2].message, "second");

    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    LogError("third");
    EXPECT_EQ(harness::EventLog().size(), 3u);
    EXPECT_NE(harness::ReadText(directory + "/retry.log").find("ERROR: third\r\n"), std::string::npos);
}

/* A FIFO (which nobody reads, or which someone does) or a device named as the
 * log file is refused at once, as a directory is: the records go to the event
 * log, and nothing waits for a reader. */
TEST_F(Log, ALogFileThatIsNoRegularFileIsRefusedWithoutWaiting) {
    harness::MakeFreshRoot();
    std::string fifo = harness::MakeTempDirectory("log") + "/fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EnterServiceMode("FifoSvc", fifo);
    LogError("not into the fifo");
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message.rfind("CreateFile: ", 0), 0u) << events[0].message;
    EXPECT_EQ(events[1].message, "not into the fifo");

    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    for (const std::string &path : {fifo, std::string("/dev/null")}) {
        DWORD error = 0;
        EXPECT_EQ(OpenLogFileForAppend(path.c_str(), &error), nullptr) << path;
        EXPECT_EQ(error, (DWORD)ERROR_ACCESS_DENIED) << path;
    }
    close(reader);
}

TEST_F(Log, FailedWriteIsReportedAndTheFileReopened) {
    harness::MakeFreshRoot();
    std::string file = harness::MakeTempDirectory("log") + "/reopen.log";
    EnterServiceMode("WriteSvc", file);
    LogError("one");
    ASSERT_NE(logFileHandle, nullptr);
    /* A handle opened for reading only makes the next write fail. */
    CloseHandle(logFileHandle);
    logFileHandle = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(logFileHandle, INVALID_HANDLE_VALUE);
    LogError("diverted");
    EXPECT_EQ(logFileHandle, nullptr);
    LogError("three");
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message.rfind("WriteFile: ", 0), 0u) << events[0].message;
    EXPECT_EQ(events[1].message, "diverted");
    std::string content = harness::ReadText(file);
    EXPECT_NE(content.find("ERROR: one\r\n"), std::string::npos);
    EXPECT_EQ(content.find("diverted"), std::string::npos);
    EXPECT_NE(content.find("ERROR: three\r\n"), std::string::npos);
}

/* A file that takes no more (here: the file size limit of the process) loses
 * no record: each goes to the event log, the failure is reported once, and
 * the file takes records again as soon as it can. A write cut short leaves no
 * torn record behind. */
TEST_F(Log, RecordsTheFileCannotTakeGoToTheEventLogAndNoneIsTorn) {
    harness::MakeFreshRoot();
    std::string file = harness::MakeTempDirectory("log") + "/full.log";
    /* Larger than anything the event log writes meanwhile, so that only the log file meets the limit. */
    harness::WriteText(file, std::string(4 << 20, '.') + "\r\n");
    EnterServiceMode("FullSvc", file);
    struct rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
    auto limitFileSize = [&](off_t size) {
        struct rlimit limit = {static_cast<rlim_t>(size), saved.rlim_max};
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    };
    struct stat before = {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    limitFileSize(before.st_size);
    LogError("one");
    LogMessage("two", LOG_INFO);
    setrlimit(RLIMIT_FSIZE, &saved);
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].message.rfind("WriteFile: ", 0), 0u) << events[0].message;
    EXPECT_EQ(events[1].message, "one");
    EXPECT_EQ(events[1].type, 1);
    EXPECT_EQ(events[2].message, "two");
    EXPECT_EQ(events[2].type, 4);

    LogError("three");
    EXPECT_EQ(harness::EventLog().size(), 3u);
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    limitFileSize(before.st_size + 20);
    LogError(std::string(200, 'x').c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    LogError("four");
    std::string content = harness::ReadText(file);
    EXPECT_EQ(content.find("xxx"), std::string::npos);
    EXPECT_NE(content.find("ERROR: three\r\n"), std::string::npos);
    std::string after = content.substr(static_cast<size_t>(before.st_size));
    EXPECT_TRUE(std::regex_match(after, std::regex("[^\r\n]* ERROR: four\r\n"))) << after;
    events = harness::EventLog();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[3].message.rfind("WriteFile: ", 0), 0u) << events[3].message;
    EXPECT_EQ(events[4].message, std::string(200, 'x'));
}

/* The end of a file past 4 GiB needs the high part of the position. */
TEST_F(Log, AFileBeyondFourGibibytesStillTakesRecords) {
    harness::MakeFreshRoot();
    std::string file = harness::MakeTempDirectory("log") + "/large.log";
    harness::WriteText(file, "");
    ASSERT_EQ(truncate(file.c_str(), (5LL << 30)), 0); /* sparse: no disk space used */
    EnterServiceMode("LargeSvc", file);
    EXPECT_EQ(AppendLogLine("past the limit", LOG_INFO), 0);
    EXPECT_TRUE(harness::EventLog().empty());
    struct stat after = {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_GT(after.st_size, 5LL << 30);
    CloseLogFile();
    unlink(file.c_str());
}

std::string truncatedLog;

/* Longer than the interval at which the log checks that its path still names the open file. */
void AwaitNameCheck() { Sleep(30); }

/* A rotation tool renames the file, or someone deletes it, which the file's
 * sharing allows: the next record goes to a new file under the configured
 * path, also for a path of thousands of characters. One that copies the file
 * and truncates it in place (copytruncate) gets the next record at the start
 * of the emptied file, even when the truncation comes just before the write. */
TEST_F(Log, ARotatedLogFileTakesTheNextRecordWithoutAHole) {
    harness::MakeFreshRoot();
    std::string longPath = harness::MakeTempDirectory("log");
    while (longPath.size() < 2000) {
        longPath += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(longPath.c_str(), 0700), 0);
    }
    for (const std::string &file : {harness::MakeTempDirectory("log") + "/rotated.log", longPath + "/rotated.log"}) {
        CloseLogFile();
        EnterServiceMode("RotateSvc", file);
        LogError("first");
        ASSERT_TRUE(MoveFileExA(file.c_str(), (file + ".1").c_str(), 0)) << GetLastError();
        AwaitNameCheck();
        LogError("second");
        EXPECT_NE(harness::ReadText(file + ".1").find("ERROR: first\r\n"), std::string::npos);
        EXPECT_EQ(harness::ReadText(file + ".1").find("second"), std::string::npos);
        EXPECT_NE(harness::ReadText(file).find("ERROR: second\r\n"), std::string::npos);
        ASSERT_TRUE(DeleteFileA(file.c_str())) << GetLastError();
        AwaitNameCheck();
        LogError("third");
        std::string content = harness::ReadText(file);
        EXPECT_EQ(content.find("second"), std::string::npos);
        EXPECT_NE(content.find("ERROR: third\r\n"), std::string::npos);
    }

    std::string file = settings.logFilePath;
    ASSERT_EQ(truncate(file.c_str(), 0), 0);
    LogError("fourth");
    EXPECT_TRUE(std::regex_match(harness::ReadText(file), std::regex("[^\r\n\\x00]* ERROR: fourth\r\n")))
        << harness::ReadText(file);
    truncatedLog = file;
    logBeforeWriteHook = [] { EXPECT_EQ(0, truncate(truncatedLog.c_str(), 0)); };
    LogError("fifth");
    logBeforeWriteHook = nullptr;
    std::string content = harness::ReadText(file);
    EXPECT_TRUE(std::regex_match(content, std::regex("[^\r\n\\x00]* ERROR: fifth\r\n"))) << content.size();
    EXPECT_TRUE(harness::EventLog().empty());
}

/* The text of each record of the file, after its date and time; "" when the file does not exist. */
std::vector<std::string> RecordTexts(const std::string &file) {
    std::vector<std::string> texts;
    if (!harness::FileExists(file)) return texts;
    std::string content = harness::ReadText(file);
    for (size_t at = 0; at < content.size();) {
        size_t end = content.find("\r\n", at);
        std::string record = content.substr(at, end - at);
        texts.push_back(record.substr(record.find("INFO: ")));
        at = end + 2;
    }
    return texts;
}

/* With LogMaxSize the file becomes <path>.1 before a record would take it
 * past the size, older files move up, and the one past LogKeep goes: the
 * files kept hold the newest records whole and in order, none lost between
 * them. A number left free (a file deleted by hand) is filled, not skipped,
 * so no older file is deleted early. */
TEST_F(Log, LogMaxSizeRotatesWithNothingLostBetweenTheFilesKept) {
    harness::MakeFreshRoot();
    std::string file = harness::MakeTempDirectory("log") + "/sized.log";
    EnterServiceMode("SizeSvc", file);
    settings.logMaxSize = 1000;
    settings.logKeep = 3;
    std::vector<std::string> written;
    auto write = [&](int count) {
        for (int i = 0; i < count; i++) {
            written.push_back("INFO: record-" + std::to_string(written.size()) + "-" +
                              std::string(written.size() % 97, 'r'));
            std::string lines = written.back().substr(6) + "\n";
            WriteServiceOutput(lines.data(), lines.size(), LOG_INFO);
        }
    };
    write(200);
    std::vector<std::string> kept;
    for (const char *suffix : {".3", ".2", ".1", ""}) {
        struct stat st = {};
        ASSERT_EQ(stat((file + suffix).c_str(), &st), 0) << suffix;
        EXPECT_LE(st.st_size, 1000) << suffix;
        if (*suffix != '\0') {
            EXPECT_GT(st.st_size, 800) << suffix;
        }
        for (const std::string &text : RecordTexts(file + suffix)) kept.push_back(text);
    }
    EXPECT_FALSE(harness::FileExists(file + ".4"));
    ASSERT_LE(kept.size(), written.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), written.end() - static_cast<long>(kept.size())));

    std::vector<std::string> third = RecordTexts(file + ".3");
    ASSERT_EQ(unlink((file + ".2").c_str()), 0);
    write(1);
    while (RecordTexts(file).size() > 1) write(1);
    EXPECT_EQ(RecordTexts(file + ".3"), third);
    EXPECT_TRUE(harness::EventLog().empty());
}

TEST_F(Log, LockIsReentrantAndKeepsLinesWhole) {
    std::string file = harness::MakeTempDirectory("log") + "/threads.log";
    EnterServiceMode("LockSvc", file);
    EnterCriticalSection(&logLock);
    EnterCriticalSection(&logLock);
    EXPECT_EQ(AppendLogLine("held", LOG_INFO), 0);
    LeaveCriticalSection(&logLock);
    LeaveCriticalSection(&logLock);

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++)
        writers.emplace_back([t] {
            std::string text = "writer " + std::to_string(t) + " " + std::string(200, static_cast<char>('a' + t));
            for (int i = 0; i < 50; i++) LogMessage(text.c_str(), LOG_INFO);
        });
    for (std::thread &writer : writers) writer.join();
    std::string content = harness::ReadText(file);
    std::regex line("[^\r\n]* INFO: (held|writer ([0-3]) (a{200}|b{200}|c{200}|d{200}))\r\n");
    size_t lines = 0;
    for (auto it = std::sregex_iterator(content.begin(), content.end(), line); it != std::sregex_iterator(); ++it)
        lines++;
    EXPECT_EQ(lines, 201u);
}

} // namespace

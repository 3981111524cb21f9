#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "common/guard.h"
#include "common/settings.h"
#include "harness.h"
#include "log/events.h"
#include "log/log.h"
#include "runtime/runtime.h"

using namespace std::string_literals;

namespace {

TEST(PipeName, NamesBothStreamsAfterTheService) {
    ResetServiceSettings();
    CopyField(settings.serviceName, "Billing", NAME_CAPACITY);
    TextGuard out(FormatPipeName(0)), err(FormatPipeName(1));
    EXPECT_STREQ(out.Get(), "\\\\.\\PIPE\\PELORIM_Billing_STDOUT");
    EXPECT_STREQ(err.Get(), "\\\\.\\PIPE\\PELORIM_Billing_STDERR");
}

TEST(FirstWord, EndsAtTheFirstBlankWithoutReadingQuotes) {
    TextGuard plain(FirstWord("net stop x")), whole(FirstWord("stop.sh")),
        quoted(FirstWord("\"C:\\Program Files\\x.exe\" -q")), empty(FirstWord(" x"));
    EXPECT_STREQ(plain.Get(), "net");
    EXPECT_STREQ(whole.Get(), "stop.sh");
    EXPECT_STREQ(quoted.Get(), "\"C:\\Program");
    EXPECT_STREQ(empty.Get(), "");
}

class CommandLine : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        InitializeLog();
        directory = harness::MakeTempDirectory("pelorim-cmdline");
    }
    std::string Build(const std::string &command) {
        TextGuard line(BuildShutdownCommandLine(command.c_str()));
        return line.Get();
    }
    std::string directory;
};

TEST_F(CommandLine, AnExecutableImageRunsUnchangedAndAnythingElseThroughTheShell) {
    /* The test program itself is an executable image of this platform. */
    std::string self = "/proc/self/exe";
    char resolved[4096];
    ssize_t length = readlink(self.c_str(), resolved, sizeof resolved - 1);
    ASSERT_GT(length, 0);
    resolved[length] = '\0';
    std::string image = resolved;
    EXPECT_EQ(Build(image + " --stop now"), image + " --stop now");

    std::string script = directory + "/stop.sh";
    harness::WriteText(script, "#!/bin/sh\n# a script long enough to pass the size test of an image\necho stopped\n");
    EXPECT_EQ(Build(script + " a"), "CMD.EXE /C " + script + " a");

    /* Shorter than any image header, even when it begins like one. */
    std::string tiny = directory + "/tiny";
    harness::WriteText(tiny, std::string("MZ\x7f" "ELF", 5));
    EXPECT_EQ(Build(tiny), "CMD.EXE /C " + tiny);

    /* A directory is none either, and no error. */
    testing::internal::CaptureStderr();
    EXPECT_EQ(Build(directory + " now"), "CMD.EXE /C " + directory + " now");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

/* A bare name is for the shell to find on the PATH, even one too long to
 * name a file here; a path naming no file is an error. */
TEST_F(CommandLine, AMissingFirstWordIsAnErrorOnlyWhenItIsAPath) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Build("net stop Billing"), "CMD.EXE /C net stop Billing");
    EXPECT_EQ(Build(std::string(300, 'x') + " now"), "CMD.EXE /C " + std::string(300, 'x') + " now");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Build("/nonexistent/stop.sh now"), "CMD.EXE /C /nonexistent/stop.sh now");
    std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(logged.rfind("stat: ", 0), 0u) << logged;
    /* Windows names the missing folder on the way, not the file. */
    EXPECT_NE(logged.find("(3)"), std::string::npos) << logged;
}

TEST_F(CommandLine, LongLinesAreBuiltInFull) {
    std::string command = "echo " + std::string(600, 'x');
    testing::internal::CaptureStderr();
    std::string line = Build(command);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, "CMD.EXE /C " + command);

    std::string prefix = "/opt/" + std::string(300, 'p') + "/pelorim Billing";
    CopyField(settings.serviceCommandPrefix, prefix.c_str(), COMMAND_PREFIX_CAPACITY);
    TextGuard child(BuildSubprocessCommandLine());
    EXPECT_EQ(std::string(child.Get()), prefix + " /subprocess");
}

/* Output as it reaches the log file: through OutputLines, and from a pipe
 * that ReadPipeOutput drains as a shutdown command's reader does. */
class OutputLinesTest : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        InitializeLog();
        logFile = harness::MakeTempDirectory("pelorim-lines") + "/service.log";
        CopyField(settings.serviceName, "Lines", NAME_CAPACITY);
        CopyField(settings.logFilePath, logFile.c_str(), PATH_CAPACITY);
        settings.serviceMode = 1;
        lines = static_cast<OutputLines *>(malloc(sizeof(OutputLines)));
        BeginOutputLines(lines, LOG_INFO);
    }
    void TearDown() override {
        free(lines);
        if (logFileHandle != nullptr) CloseHandle(logFileHandle);
        logFileHandle = nullptr;
    }
    void Take(const std::string &data) { TakeOutput(lines, data.data(), data.size()); }
    /* Writes `data` into an anonymous pipe, closes it and drains it. */
    void Drain(const std::string &data, int level) {
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
        DWORD written = 0;
        if (!data.empty()) {
            ASSERT_TRUE(WriteFile(writeEnd, data.data(), (DWORD)data.size(), &written, nullptr));
        }
        CloseHandle(writeEnd);
        BeginOutputLines(lines, level);
        char buffer[7];
        int reads = 0;
        while (ReadPipeOutput(readEnd, lines, buffer, sizeof buffer) != 0) ASSERT_LT(++reads, 1000);
        LogHeldLine(lines, true);
        CloseHandle(readEnd);
    }
    /* The text of each record of the log file, after its date, time and level. */
    std::vector<std::string> Records() {
        std::vector<std::string> records;
        std::string content = harness::FileExists(logFile) ? harness::ReadText(logFile) : "";
        for (size_t at = 0; at < content.size();) {
            size_t end = content.find("\r\n", at);
            if (end == std::string::npos) end = content.size();
            std::string record = content.substr(at, end - at);
            size_t level = record.find(": ");
            size_t space = record.rfind(' ', level);
            records.push_back(record.substr(space + 1));
            at = end + 2;
        }
        return records;
    }
    std::string logFile;
    OutputLines *lines = nullptr;
};

TEST_F(OutputLinesTest, EachLineIsOneRecordWhateverTheReadsCutOff) {
    Take("first li");
    EXPECT_TRUE(Records().empty());
    Take("ne\r\nsecond\n\n  \r\n\tindented, with a NUL: \0 \r\n"s);
    Take("par");
    Take("tial");
    EXPECT_EQ(Records(), (std::vector<std::string>{"INFO: first line", "INFO: second",
                                                   "INFO: \tindented, with a NUL: ^@"}));
    LogHeldLine(lines, true);
    EXPECT_EQ(Records().back(), "INFO: partial");

    Drain("out of a pipe\nin pieces of seven bytes\r\n" + std::string(40, 'x') + "\n", LOG_ERROR);
    Drain("  \r\n\t\n", LOG_ERROR);
    Drain("no line end", LOG_ERROR);
    std::vector<std::string> records = Records();
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[4], "ERROR: out of a pipe");
    EXPECT_EQ(records[5], "ERROR: in pieces of seven bytes");
    EXPECT_EQ(records[6], "ERROR: " + std::string(40, 'x'));
    EXPECT_EQ(records[7], "ERROR: no line end");
}

/* A line longer than the buffer goes in parts of the buffer's size; neither
 * such a part nor a line logged because the pipe went quiet ends inside a
 * UTF-8 character. */
TEST_F(OutputLinesTest, ALongLineGoesInPartsThatNeverCutACharacter) {
    ASSERT_TRUE(lines->utf8);
    std::string eAcute = "\xC3\xA9";
    Take(std::string(OUTPUT_LINE_CAPACITY - 1, 'a') + eAcute + "b\n");
    Take("quiet " + eAcute.substr(0, 1));
    LogHeldLine(lines, false);
    Take(eAcute.substr(1) + "\n");
    EXPECT_EQ(Records(), (std::vector<std::string>{"INFO: " + std::string(OUTPUT_LINE_CAPACITY - 1, 'a'),
                                                   "INFO: " + eAcute + "b", "INFO: quiet", "INFO: " + eAcute}));
}

/* Without a log file the lines that arrive together share one event. */
TEST_F(OutputLinesTest, LinesThatArriveTogetherShareOneEvent) {
    settings.logFilePath[0] = '\0';
    Take("one\ntwo\n");
    Take("three\n");
    auto events = harness::EventLog();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "one\ntwo");
    EXPECT_EQ(events[1].message, "three");
}

TEST_F(OutputLinesTest, NothingIsLoggedUnlessEventLoggingIsOne) {
    settings.eventLogging = 2;
    Drain("hidden\n", LOG_INFO);
    settings.eventLogging = 0;
    Drain("hidden too\n", LOG_ERROR);
    settings.eventLogging = 1;
    settings.debugLevel = -1;
    Drain("shown whatever the debug level\n", LOG_INFO);
    EXPECT_EQ(Records(), (std::vector<std::string>{"INFO: shown whatever the debug level"}));
}

} // namespace

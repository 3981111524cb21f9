#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "common/guard.h"
#include "common/settings.h"
#include "harness.h"
#include "log/events.h"
#include "log/log.h"
#include "runtime/runtime.h"

namespace {

std::string Trimmed(const std::string &chunk) {
    std::string copy = chunk;
    return TrimChunk(&copy[0]);
}

TEST(OutputChunk, TrimsWhiteSpaceAtBothEndsOnly) {
    EXPECT_EQ(Trimmed("  hello world \r\n"), "hello world");
    EXPECT_EQ(Trimmed("line one\r\nline two\n"), "line one\r\nline two");
    EXPECT_EQ(Trimmed("\t\v\f\r\n x"), "x");
    EXPECT_EQ(Trimmed(" \r\n\t \n"), "");
    EXPECT_EQ(Trimmed(""), "");
}

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
    EXPECT_NE(logged.find("(2)"), std::string::npos) << logged;
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

/* The chunks of a shutdown command's pipe, as they reach the log file. */
class PipeChunks : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        InitializeLog();
        logFile = harness::MakeTempDirectory("pelorim-chunks") + "/service.log";
        CopyField(settings.serviceName, "Chunks", NAME_CAPACITY);
        CopyField(settings.logFilePath, logFile.c_str(), PATH_CAPACITY);
        settings.serviceMode = 1;
    }
    void TearDown() override {
        if (logFileHandle != nullptr) CloseHandle(logFileHandle);
        logFileHandle = nullptr;
    }
    /* Writes `data` into an anonymous pipe, closes it and drains it with ReadPipeChunk. */
    void Drain(const std::string &data, int level) {
        HANDLE readEnd = nullptr, writeEnd = nullptr;
        ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
        DWORD written = 0;
        if (!data.empty()) {
            ASSERT_TRUE(WriteFile(writeEnd, data.data(), (DWORD)data.size(), &written, nullptr));
        }
        CloseHandle(writeEnd);
        int reads = 0;
        while (ReadPipeChunk(readEnd, level) != 0) ASSERT_LT(++reads, 100);
        CloseHandle(readEnd);
    }
    std::string logFile;
};

TEST_F(PipeChunks, OneReadIsOneTrimmedMessageAtTheStreamsLevel) {
    Drain("first\r\nsecond\r\n", LOG_INFO);
    Drain("  \r\n\t\n", LOG_INFO);
    Drain("trouble\n", LOG_ERROR);
    std::string text = harness::ReadText(logFile);
    EXPECT_NE(text.find("INFO: first\r\nsecond\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ERROR: trouble\r\n"), std::string::npos) << text;
    /* The blank chunk made no message. */
    EXPECT_EQ(text.find("INFO: \r\n"), std::string::npos) << text;
}

TEST_F(PipeChunks, ALongLineBecomesSeveralMessages) {
    Drain(std::string(2500, 'a') + "\n", LOG_INFO);
    std::string text = harness::ReadText(logFile);
    size_t messages = 0;
    for (size_t at = text.find("INFO: "); at != std::string::npos; at = text.find("INFO: ", at + 1)) messages++;
    EXPECT_EQ(messages, 3u) << text;
}

TEST_F(PipeChunks, NothingIsLoggedUnlessEventLoggingIsOne) {
    settings.eventLogging = 2;
    Drain("hidden\n", LOG_INFO);
    settings.eventLogging = 0;
    Drain("hidden too\n", LOG_ERROR);
    settings.eventLogging = 1;
    settings.debugLevel = -1;
    Drain("shown whatever the debug level\n", LOG_INFO);
    std::string text = harness::FileExists(logFile) ? harness::ReadText(logFile) : "";
    EXPECT_EQ(text.find("hidden"), std::string::npos) << text;
    EXPECT_NE(text.find("INFO: shown whatever the debug level\r\n"), std::string::npos) << text;
}

} // namespace

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "control/commandline.h"
#include "control/control.h"
#include "harness.h"
#include "host.h"

namespace {

std::string BaseName(const std::string &path, size_t capacity = 256) {
    char *name = FileBaseName(path.c_str(), capacity);
    std::string result = name;
    free(name);
    return result;
}

std::string Path(const std::vector<std::string> &parts) {
    std::string path;
    for (const std::string &part : parts) path += (path.empty() ? "" : std::string(1, hostPathSeparator)) + part;
    return path;
}

TEST(FileBaseName, TakesTheNameAfterTheLastSeparatorWithoutItsExtension) {
    EXPECT_EQ(BaseName(Path({"", "opt", "pelorim.exe"})), "pelorim");
    EXPECT_EQ(BaseName(Path({"dir", "my.service.exe"})), "my.service");
    EXPECT_EQ(BaseName("Billing"), "Billing");
    EXPECT_EQ(BaseName(Path({"dir.d", "Billing"})), "Billing");
    EXPECT_EQ(BaseName(Path({"dir", ""})), "");
}

TEST(FileBaseName, CutsToCapacityBeforeLookingForTheDot) {
    EXPECT_EQ(BaseName("abcdef.exe", 4), "abc");
    EXPECT_EQ(BaseName("ab.cdef.exe", 5), "ab");
    EXPECT_EQ(BaseName(std::string(300, 'n') + ".exe").size(), 255u);
}

TEST(FileBaseName, OnlyThePlatformSeparatorSplits) {
    char other = hostPathSeparator == '/' ? '\\' : '/';
    std::string path = std::string("dir") + other + "pelorim.exe";
    EXPECT_EQ(BaseName(path), std::string("dir") + other + "pelorim");
}

class Parse : public testing::Test {
  protected:
    void SetUp() override { ResetServiceSettings(); }
    void TearDown() override { ResetServiceSettings(); }

    /* Parses "pelorim <arguments>"; the Java command line is returned. */
    std::vector<std::string> Run(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "pelorim");
        storage = arguments;
        pointers.clear();
        for (std::string &argument : storage) pointers.push_back(&argument[0]);
        ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), &commandLine);
        return std::vector<std::string>(commandLine.javaArgv, commandLine.javaArgv + commandLine.javaArgc);
    }

    CommandLine commandLine;
    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

TEST_F(Parse, SwitchesEndAtTheFirstOtherArgument) {
    auto java = Run({"MyService", "/install", "-cp", "app.jar", "Main", "/quiet"});
    EXPECT_STREQ(settings.serviceName, "MyService");
    EXPECT_EQ(commandLine.install, 1);
    EXPECT_EQ(java, (std::vector<std::string>{"-cp", "app.jar", "Main", "/quiet"}));
    EXPECT_EQ(settings.eventLogging, 1);
    EXPECT_EQ(commandLine.unknownSwitch, nullptr);
}

TEST_F(Parse, JavaAndJreAreDroppedAfterTheName) {
    EXPECT_EQ(Run({"MyService", "java", "-cp", "x", "Main"}), (std::vector<std::string>{"-cp", "x", "Main"}));
    EXPECT_EQ(Run({"MyService", "/start", "jre", "jre"}), (std::vector<std::string>{"jre"}));
    Run({"java", "-cp", "x"});
    EXPECT_STREQ(settings.serviceName, "java");
}

TEST_F(Parse, OnlyAPlainFirstArgumentIsTheName) {
    auto java = Run({"-cp", "x", "Main", "/install"});
    EXPECT_STREQ(settings.serviceName, "");
    EXPECT_EQ(commandLine.install, 0);
    EXPECT_EQ(java.size(), 4u);
    Run({"/install", "Main"});
    EXPECT_STREQ(settings.serviceName, "");
    EXPECT_EQ(commandLine.install, 1);
    Run({});
    EXPECT_EQ(commandLine.javaArgc, 0);
}

TEST_F(Parse, NameSwitchReplacesTheFirstArgument) {
    Run({"First", "/name:-Dashed", "/desc:"});
    EXPECT_STREQ(settings.serviceName, "-Dashed");
    EXPECT_STREQ(settings.description, "");
    Run({"First", "/desc:one", "/desc:two"});
    EXPECT_STREQ(settings.description, "two");
}

TEST_F(Parse, ValuesAreCutToTheirFieldsAndACutPathOrCommandIsRemembered) {
    Run({std::string(300, 'a'), "/timeout:123456789", "/debug:" + std::string(40, '2'),
         "/desc:" + std::string(300, 'd')});
    EXPECT_EQ(std::string(settings.serviceName), std::string(255, 'a'));
    EXPECT_STREQ(settings.timeoutText, "1234567");
    EXPECT_EQ(std::string(settings.debugLevelText), std::string(31, '2'));
    EXPECT_EQ(std::string(settings.description).size(), 255u);
    EXPECT_EQ(commandLine.cutSwitch, nullptr);

    /* Paths and the shutdown command are kept whole as far as the system takes them. */
    std::string command(COMMAND_LINE_CAPACITY, 'c');
    Run({"S", "/logfile:" + std::string(400, 'l'), "/cwd:" + std::string(LONG_PATH_CAPACITY, 'w'),
         "/shutdownCommand:" + command});
    EXPECT_EQ(std::string(settings.logFilePath), std::string(400, 'l'));
    EXPECT_EQ(std::string(settings.workingDirectory).size(), (size_t)LONG_PATH_CAPACITY);
    EXPECT_EQ(std::string(settings.shutdownCommand), command);
    EXPECT_EQ(commandLine.cutSwitch, nullptr);
    Run({"S", "/startup:" + std::string(260, 's'), "/shutdownCommand:" + command + "c"});
    EXPECT_STREQ(commandLine.cutSwitch, "/startup:");
    EXPECT_EQ(commandLine.cutCapacity, (size_t)PATH_CAPACITY);
    ResetServiceSettings();
    EXPECT_STREQ(settings.shutdownCommand, "");
}

TEST_F(Parse, EverySwitchOfTheTable) {
    auto java = Run({"S", "/service", "/subprocess", "/help", "/install", "/start", "/stop", "/uninstall",
                     "/manual", "/interact", "/priority:high", "/logfile", "/logfile:app.log", "/quiet",
                     "/detach", "/cwd:/tmp", "/startup", "/shutdown:halt", "/shutdownCommand:stop.cmd",
                     "/runtimelib:lib.so", "/javahome:/jdk", "Main"});
    EXPECT_EQ(settings.serviceMode, 1);
    EXPECT_EQ(commandLine.subprocess + commandLine.help + commandLine.install + commandLine.start +
                  commandLine.stop + commandLine.uninstall + commandLine.defaultLogFile,
              7);
    EXPECT_EQ(settings.startType, 3u);
    EXPECT_EQ(settings.interactive, 1);
    EXPECT_EQ(settings.priorityClass, 0x80u);
    EXPECT_STREQ(settings.logFilePath, "app.log");
    EXPECT_EQ(settings.eventLogging, 0);
    EXPECT_EQ(settings.detach, 1);
    EXPECT_STREQ(settings.workingDirectory, "/tmp");
    EXPECT_STREQ(settings.startupMethod, "startup");
    EXPECT_STREQ(settings.shutdownMethod, "halt");
    EXPECT_STREQ(settings.shutdownCommand, "stop.cmd");
    EXPECT_STREQ(settings.runtimeLibrary, "lib.so");
    EXPECT_STREQ(settings.javaHome, "/jdk");
    EXPECT_EQ(java, (std::vector<std::string>{"Main"}));

    Run({"S", "/disabled", "/startup:begin", "/shutdown", "/automatic"});
    EXPECT_EQ(settings.startType, 2u);
    EXPECT_STREQ(settings.startupMethod, "begin");
    EXPECT_STREQ(settings.shutdownMethod, "shutdown");
}

TEST_F(Parse, PriorityNamesMapToClassesAndOthersAreIgnored) {
    const std::pair<const char *, unsigned> classes[] = {{"low", 0x40}, {"normal", 0x20}, {"high", 0x80},
                                                         {"realtime", 0x100}};
    for (const auto &entry : classes) {
        Run({"S", std::string("/priority:") + entry.first});
        EXPECT_EQ(settings.priorityClass, entry.second) << entry.first;
    }
    Run({"S", "/priority:normal", "/priority:idle", "/priority:High"});
    EXPECT_EQ(settings.priorityClass, 0x20u);
}

TEST_F(Parse, MatchingIsCaseSensitiveAndExact) {
    Run({"S", "/Install", "/start"});
    EXPECT_STREQ(commandLine.unknownSwitch, "/Install");
    EXPECT_EQ(commandLine.start, 0);
    Run({"S", "/startx"});
    EXPECT_STREQ(commandLine.unknownSwitch, "/startx");
    Run({"S", "/start", "Main", "/bogus"});
    EXPECT_EQ(commandLine.unknownSwitch, nullptr);
}

TEST_F(Parse, DependenciesAccumulateInOrder) {
    harness::MakeFreshRoot();
    Run({"S", "/depend:Tcpip", "/depend:Some Display Name", "/depend:"});
    ASSERT_EQ(settings.dependencies.count, 3);
    EXPECT_STREQ(settings.dependencies.items[0], "Tcpip");
    EXPECT_STREQ(settings.dependencies.items[1], "Some Display Name");
    EXPECT_STREQ(settings.dependencies.items[2], "");
}

TEST(ServiceNameText, WhiteSpaceBecomesBlanksAndTheNameIsQuoted) {
    ResetServiceSettings();
    CopyField(settings.exePath, "/opt/pelorim", PATH_CAPACITY);
    CopyField(settings.serviceName, "My\tNew\r\nService\v\f", NAME_CAPACITY);
    BlankWhiteSpace(settings.serviceName);
    EXPECT_STREQ(settings.serviceName, "My New  Service  ");
    FormatCommandPrefix();
    EXPECT_STREQ(settings.serviceCommandPrefix, "/opt/pelorim \"My New  Service  \"");
    CopyField(settings.serviceName, "Plain", NAME_CAPACITY);
    FormatCommandPrefix();
    EXPECT_STREQ(settings.serviceCommandPrefix, "/opt/pelorim Plain");
    /* A path with a blank or a tab would split into words: it is quoted too. */
    CopyField(settings.exePath, "/opt/my apps/pelorim", EXE_PATH_CAPACITY);
    FormatCommandPrefix();
    EXPECT_STREQ(settings.serviceCommandPrefix, "\"/opt/my apps/pelorim\" Plain");
    CopyField(settings.exePath, "/opt/tab\there/pelorim", EXE_PATH_CAPACITY);
    CopyField(settings.serviceName, "My Service", NAME_CAPACITY);
    FormatCommandPrefix();
    EXPECT_STREQ(settings.serviceCommandPrefix, "\"/opt/tab\there/pelorim\" \"My Service\"");
}

TEST(ServiceNameText, LongestPrefixFits) {
    ResetServiceSettings();
    CopyField(settings.exePath, ("/" + std::string(EXE_PATH_CAPACITY - 2, 'p') + " ").c_str(), EXE_PATH_CAPACITY);
    CopyField(settings.serviceName, (std::string(254, 'n') + " ").c_str(), NAME_CAPACITY);
    FormatCommandPrefix();
    EXPECT_EQ(std::string(settings.serviceCommandPrefix).size(), (size_t)COMMAND_PREFIX_CAPACITY);
    EXPECT_EQ(settings.serviceCommandPrefix[COMMAND_PREFIX_CAPACITY - 1], '"');
}

} // namespace

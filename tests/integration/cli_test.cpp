/* The command line of the built program: banner, usage, names, conflicts,
 * dispatch and exit codes, as a user at a console sees them. */
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness.h"

namespace {

const std::string banner = "Pelorim 1.3c Java Wrapper for NT Service\r\n\r\n";

const std::string usageBody =
    "       command:\n"
    "       /help                      print this information\n"
    "       /install                   install the service\n"
    "       /start                     start the service\n"
    "       /stop                      stop the service\n"
    "       /uninstall                 remove the service\n"
    "       /cwd:<Directory>           working directory for the application\n"
    "       /desc:<Description>        service description for the Services applet\n"
    "       /automatic                 service startup type\n"
    "       /manual                    service startup type\n"
    "       /disabled                  service startup type\n"
    "       /depend:<ServiceName>      dependency information\n"
    "                                  multiple specifications allowed\n"
    "       /interact                  allow service to interact with the desktop\n"
    "       /priority:<priority>       priority: low | normal | high | realtime\n"
    "       /startup[:<MethodName>]    main class method for application startup\n"
    "       /shutdown[:<MethodName>]   main class method for application shutdown\n"
    "       /shutdownCommand:<Command> command line for application shutdown\n"
    "       /timeout:<TimeLimit>       time limit for java application start/stop\n"
    "       /debug:<Level>             debugging level:\n"
    "                                  0=errors only\n"
    "                                  1=with warnings\n"
    "                                  2=detailed\n"
    "       /logfile[:<Path>]          log file for logging events\n"
    "       /quiet                     prevents logging except for service operation\n"
    "       /detach                    launch java application in separate process\n"
    "       /runtimelib:<Path>         java runtime library\n"
    "       /javahome:<Directory>      java home directory\n";

std::string Usage(const std::string &baseName = "pelorim") {
    return "Usage: " + baseName + " <ServiceName> { <command> } <java command line>\n" + usageBody;
}

std::string CopyUsage(const std::string &baseName) {
    return "Usage: " + baseName + " [<ServiceName>] { <command> } <java command line>\n" + usageBody;
}

/* A copy of the built program under `fileName` in a directory of its own. */
std::string CopyOfProgram(const std::string &fileName) {
    std::string copy = harness::MakeTempDirectory("exe") + "/" + fileName;
    std::filesystem::copy_file(harness::PelorimExe(), copy);
    chmod(copy.c_str(), 0755);
    return copy;
}

class Cli : public testing::Test {
  protected:
    void SetUp() override { harness::MakeFreshRoot(); }
};

TEST_F(Cli, HelpPrintsBannerAndUsage) {
    auto result = harness::RunPelorim({"MyService", "/help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, banner);
    EXPECT_EQ(result.err, Usage());
}

TEST_F(Cli, WithoutAServiceNameTheRunStopsWithUsage) {
    for (const auto &arguments : std::vector<std::vector<std::string>>{
             {}, {"/help"}, {"/install", "-cp", "x", "Main"}, {"-cp", "x", "Main", "/install"}}) {
        auto result = harness::RunPelorim(arguments);
        EXPECT_EQ(result.exitCode, 8);
        EXPECT_EQ(result.out, banner);
        EXPECT_EQ(result.err, "Service name not specified.\n" + Usage());
    }
}

TEST_F(Cli, UnknownSwitchEndsTheRunBeforeAnythingElse) {
    auto capital = harness::RunPelorim({"MyService", "/Install"});
    EXPECT_EQ(capital.exitCode, 8);
    EXPECT_EQ(capital.out, banner);
    EXPECT_EQ(capital.err, "Unknown command: /Install\n" + Usage());

    auto serviceMode = harness::RunPelorim({"MyService", "/service", "/start", "/bogus:x"});
    EXPECT_EQ(serviceMode.exitCode, 8);
    EXPECT_EQ(serviceMode.out, banner);
    EXPECT_EQ(serviceMode.err, "Unknown command: /bogus:x\n" + Usage());

    auto first = harness::RunPelorim({"/nothing"});
    EXPECT_EQ(first.exitCode, 8);
    EXPECT_EQ(first.err, "Unknown command: /nothing\n" + Usage());
}

TEST_F(Cli, SwitchesAfterTheJavaCommandLineAreTheApplications) {
    auto result = harness::RunPelorim({"MyService", "-cp", "app.jar", "Main", "/bogus", "/install"});
    EXPECT_EQ(result.exitCode, 8);
    EXPECT_EQ(result.err, "No action specified (install|start|stop|uninstall)\n" + Usage());

    auto java = harness::RunPelorim({"MyService", "java", "/start"});
    EXPECT_EQ(java.exitCode, 8);
    EXPECT_EQ(java.err, "No action specified (install|start|stop|uninstall)\n" + Usage());
}

TEST_F(Cli, ConflictingActionsEndWithEightAndNoUsage) {
    const std::pair<std::vector<std::string>, std::string> conflicts[] = {
        {{"/install", "/uninstall", "/stop", "/start"}, "Command conflict: /install vs. /uninstall\n"},
        {{"/stop", "/install"}, "Command conflict: /install vs. /stop\n"},
        {{"/install", "/start", "/stop"}, "Command conflict: /install vs. /stop\n"},
        {{"/uninstall", "/start"}, "Command conflict: /start vs. /uninstall\n"},
        {{"/start", "/stop"}, "Command conflict: /start vs. /stop\n"},
    };
    for (const auto &conflict : conflicts) {
        std::vector<std::string> arguments = conflict.first;
        arguments.insert(arguments.begin(), "MyService");
        auto result = harness::RunPelorim(arguments);
        EXPECT_EQ(result.exitCode, 8) << conflict.second;
        EXPECT_EQ(result.out, banner);
        EXPECT_EQ(result.err, conflict.second);
    }
}

/* The console actions reach the service control operations: for a service
 * that does not exist each names its own verb. */
TEST_F(Cli, ActionsAreDispatchedToTheServiceOperations) {
    const std::pair<std::vector<std::string>, std::string> actions[] = {
        {{"/start"}, "Cannot start the service named MyService.\n"},
        {{"/stop"}, "Cannot stop the service named MyService.\n"},
        {{"/uninstall", "/stop"}, "Cannot remove the service named MyService.\n"},
        {{"/help", "/start", "/stop"}, "Usage: "},
    };
    for (const auto &action : actions) {
        std::vector<std::string> arguments = action.first;
        arguments.insert(arguments.begin(), "MyService");
        auto result = harness::RunPelorim(arguments);
        EXPECT_EQ(result.out, banner);
        EXPECT_NE(result.err.find(action.second), std::string::npos) << action.second << result.err;
        EXPECT_EQ(result.err.find("not available yet"), std::string::npos) << result.err;
    }
}

TEST_F(Cli, ServiceModeIgnoresActionsAndPrintsNoBanner) {
    auto result = harness::RunPelorim({"MyService", "/service", "/install", "/uninstall"});
    EXPECT_EQ(result.exitCode, 9);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.find("Command conflict"), std::string::npos);
}

TEST_F(Cli, NamesAreCutAndTheirWhiteSpaceBlanked) {
    auto tab = harness::RunPelorim({"My\tNew\nService", "/start"});
    EXPECT_NE(tab.err.find("Cannot start the service named My New Service.\n"), std::string::npos) << tab.err;

    std::string longName(300, 'L');
    auto cut = harness::RunPelorim({longName, "/stop"});
    EXPECT_NE(cut.err.find("named " + std::string(255, 'L') + ".\n"), std::string::npos);

    auto renamed = harness::RunPelorim({"First", "/name:-Second", "/start"});
    EXPECT_NE(renamed.err.find("named -Second.\n"), std::string::npos) << renamed.err;

    auto java = harness::RunPelorim({"java", "/start"});
    EXPECT_NE(java.err.find("named java.\n"), std::string::npos) << java.err;
}

/* The registered command line is the executable, the name (quoted when it
 * holds a blank) and /service. */
TEST_F(Cli, InstalledCommandLineQuotesANameWithBlanks) {
    harness::RunOptions options;
    options.environment = {{"JAVA_HOME", harness::JavaHome()}};
    struct {
        std::string argument, serviceName, inCommandLine;
    } const names[] = {{"My\tNew Svc", "My New Svc", "\"My New Svc\""}, {"Plain", "Plain", "Plain"}};
    for (const auto &name : names) {
        auto install = harness::RunPelorim(
            {name.argument, "/install", "/manual", "-cp", harness::JavaClasses(), "LongRunning"}, options);
        ASSERT_EQ(install.exitCode, 0) << install.err;
        auto imagePath = harness::RegistryGet("System\\CurrentControlSet\\Services\\" + name.serviceName, "ImagePath");
        ASSERT_TRUE(imagePath);
        EXPECT_EQ(imagePath->data, harness::PelorimExe() + " " + name.inCommandLine + " /service" + std::string(1, '\0'));
    }
}

TEST_F(Cli, ACopyOfTheProgramNamesItsService) {
    std::string billing = CopyOfProgram("Billing.exe");
    auto noAction = harness::Run(billing, {"-cp", "x", "Main", "/install"});
    EXPECT_EQ(noAction.exitCode, 8);
    EXPECT_EQ(noAction.out, banner);
    EXPECT_EQ(noAction.err, "No action specified (install|start|stop|uninstall)\n" + CopyUsage("Billing"));

    auto start = harness::Run(billing, {"/start"});
    EXPECT_NE(start.err.find("Cannot start the service named Billing.\n"), std::string::npos) << start.err;

    auto unknown = harness::Run(billing, {"/what"});
    EXPECT_EQ(unknown.err, "Unknown command: /what\n" + CopyUsage("Billing"));

    auto explicitName = harness::Run(billing, {"Other", "/stop"});
    EXPECT_NE(explicitName.err.find("Cannot stop the service named Other.\n"), std::string::npos);
}

TEST_F(Cli, TheProgramNameIsComparedWithoutRegardToCase) {
    std::string upper = CopyOfProgram("PELORIM.EXE");
    auto result = harness::Run(upper, {"/start"});
    EXPECT_EQ(result.exitCode, 8);
    EXPECT_EQ(result.err, "Service name not specified.\n" + Usage("PELORIM"));
}

} // namespace

/* The service entry that /install creates: dependencies by display or key name,
 * an existing name, a name with blanks that still starts and stops. */
#include <windows.h>
#include <signal.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

namespace {

const std::string banner = "Pelorim 1.3c Java Wrapper for NT Service\r\n\r\n";

std::string ServiceKey(const std::string &name) { return "System\\CurrentControlSet\\Services\\" + name; }

harness::RunResult Install(const std::string &name, const std::vector<std::string> &switches,
                           const std::vector<std::string> &javaArguments = {}) {
    std::vector<std::string> arguments = {name, "/install"};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    arguments.insert(arguments.end(), {"-cp", harness::JavaClasses(), "LongRunning"});
    arguments.insert(arguments.end(), javaArguments.begin(), javaArguments.end());
    harness::RunOptions options;
    options.unset = {"CLASSPATH", "JAVA_HOME"};
    return harness::RunPelorim(arguments, options);
}

TEST(ServiceEntry, DependenciesAreResolvedByDisplayNameElseTakenAsTyped) {
    harness::MakeFreshRoot();
    ASSERT_TRUE(harness::CreateServiceWithDisplayName("billing", "Billing Service"));
    ASSERT_TRUE(harness::CreateServiceWithDisplayName("audit", "Audit Trail"));

    auto result = Install("Dependent", {"/depend:Billing Service", "/depend:audit", "/depend:audit trail"});
    ASSERT_EQ(0, result.exitCode) << result.err;
    auto dependencies = harness::RegistryGet(ServiceKey("Dependent"), "DependOnService");
    ASSERT_TRUE(dependencies);
    EXPECT_EQ((std::vector<std::string>{"billing", "audit", "audit trail"}),
              harness::SplitMultiString(dependencies->data));
}

TEST(ServiceEntry, ExistingNameEndsTheInstallationAndKeepsTheService) {
    harness::MakeFreshRoot();
    ASSERT_EQ(0, Install("Twice", {"/manual"}).exitCode);
    auto again = Install("Twice", {"/disabled", "/desc:second"});
    EXPECT_EQ(9, again.exitCode);
    EXPECT_NE(std::string::npos,
              again.err.find("Cannot create the service named Twice.\nService with this name already exists.\n"))
        << again.err;
    EXPECT_EQ(std::string::npos, again.out.find("installed."));
    auto start = harness::RegistryGet(ServiceKey("Twice"), "Start");
    ASSERT_TRUE(start);
    EXPECT_EQ(std::string("\3\0\0\0", 4), start->data);
    EXPECT_FALSE(harness::RegistryGet(ServiceKey("Twice"), "Description"));
}

TEST(ServiceEntry, NameWithBlanksIsQuotedAndTheServiceStartsAndStops) {
    harness::MakeFreshRoot();
    std::string control = harness::MakeTempDirectory("pelorim-control");
    auto installed = Install("Two Words", {"/manual"}, {control});
    ASSERT_EQ(0, installed.exitCode) << installed.err;
    EXPECT_EQ(banner + "Two Words installed.\n", installed.out);
    auto imagePath = harness::RegistryGet(ServiceKey("Two Words"), "ImagePath");
    ASSERT_TRUE(imagePath);
    EXPECT_EQ(harness::PelorimExe() + " \"Two Words\" /service" + '\0', imagePath->data);

    auto start = harness::RunPelorim({"Two Words", "/start"});
    EXPECT_EQ(0, start.exitCode) << start.err;
    EXPECT_EQ(0u, start.out.find(banner + "Starting Two Words."));
    EXPECT_NE(std::string::npos, start.out.find("\nTwo Words started.\n")) << start.out;
    EXPECT_TRUE(harness::WaitFor([&] { return harness::FileExists(control + "/started"); }, 20));

    auto stop = harness::RunPelorim({"Two Words", "/stop"});
    EXPECT_EQ(0, stop.exitCode) << stop.err;
    EXPECT_NE(std::string::npos, stop.out.find("\nTwo Words stopped.\n")) << stop.out;

    auto status = harness::ServiceStatus("Two Words");
    if (status && status->state != SERVICE_STOPPED && status->pid > 0) kill((pid_t)status->pid, SIGKILL);
}

} // namespace

/* The settings report: the stored values read back into one Information record. */
#include <gtest/gtest.h>

#include <string>

#include "common/settings.h"
#include "config/params.h"
#include "config/settings_report.h"
#include "harness.h"

namespace {

class SettingsReport : public ::testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        CopyField(settings.serviceName, "Reported", NAME_CAPACITY);
        std::string path = "System\\CurrentControlSet\\Services\\Reported";
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                                                 &key_, NULL));
    }
    void TearDown() override { RegCloseKey(key_); }

    void Text(const char *name, const std::string &value, DWORD type = REG_SZ) {
        ASSERT_EQ(ERROR_SUCCESS,
                  RegSetValueExA(key_, name, 0, type, (const BYTE *)value.c_str(), (DWORD)value.size() + 1));
    }
    void Number(const char *name, DWORD value) {
        ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value));
    }

    /* Runs the report and returns its one record's text. */
    std::string Report() {
        size_t before = harness::EventLog().size();
        ReportInstalledSettings(&found_);
        auto records = harness::EventLog();
        EXPECT_EQ(before + 1, records.size());
        if (records.size() != before + 1) return "";
        const auto &record = records.back();
        EXPECT_EQ("Reported", record.source);
        EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, record.type);
        EXPECT_EQ(0x40000003ul, record.eventId);
        return record.message;
    }

    HKEY key_ = NULL;
    FoundRuntime found_ = {"/found/jdk", "/found/jdk/lib/server/libjvm.so", NULL};
};

TEST_F(SettingsReport, MinimalInstallationFallsBackToWhatDiscoveryFound) {
    Text("CurrentDirectory", "/srv/app");
    Text("JavaMainClass", "com.example.Main");
    EXPECT_EQ("Reported installed.\r\n"
              "Current Directory: /srv/app\r\n"
              "Java Home Path: /found/jdk\r\n"
              "JVM Runtime Library Path: /found/jdk/lib/server/libjvm.so\r\n"
              "Java Main Class: com.example.Main",
              Report());

    /* No Java home recorded: no line for it. */
    found_.javaHome = "";
    EXPECT_EQ(std::string::npos, Report().find("Java Home Path"));

    /* The source that found the runtime follows the library's path. */
    found_.source = "java on PATH";
    EXPECT_NE(std::string::npos, Report().find("JVM Runtime Library Path: /found/jdk/lib/server/libjvm.so\r\n"
                                                "Java Runtime Found Through: java on PATH\r\n"
                                                "Java Main Class: "));
}

TEST_F(SettingsReport, EveryValueInItsPlace) {
    Text("CurrentDirectory", "/srv/app");
    Text("StartupMethod", "startup");
    Text("ShutdownMethod", "halt");
    Text("ShutdownCommand", "/usr/bin/stop-app now");
    Number("Timeout", 0xFFFFFFFF);
    Number("DebugLevel", 2);
    Text("LogFile", "Reported_Event.log");
    Number("EventLogging", 0);
    Number("Priority", 128);
    Number("CreateProcess", 1);
    Text("JavaHome", "/stored/jdk");
    Text("JVMType", "-server");
    Text("JNILibrary", "/stored/libjvm.so", REG_EXPAND_SZ);
    Text("JavaOptions", std::string("-Xmx64m") + '\0' + "-Djava.class.path=/srv/app/app.jar" + '\0', REG_MULTI_SZ);
    Text("JavaArchive", "app.jar");
    Text("JavaArgs", std::string("one") + '\0' + "two words" + '\0', REG_MULTI_SZ);
    Text("Environment", std::string("A=1") + '\0', REG_MULTI_SZ);
    Text("Description", "not reported");
    EXPECT_EQ("Reported installed.\r\n"
              "Current Directory: /srv/app\r\n"
              "Startup Method: startup\r\n"
              "Shutdown Method: halt\r\n"
              "Shutdown Command: /usr/bin/stop-app now\r\n"
              "Timeout: -1\r\n"
              "Debug Output Level: 2\r\n"
              "Log File: Reported_Event.log\r\n"
              "No Event Logging\r\n"
              "Priority: high\r\n"
              "Init JVM in Separate Process\r\n"
              "Java Home Path: /stored/jdk\r\n"
              "JVM Type: -server\r\n"
              "JVM Runtime Library Path: /stored/libjvm.so\r\n"
              "Java Options:\r\n"
              "\t-Xmx64m\r\n"
              "\t-Djava.class.path=/srv/app/app.jar\r\n"
              "Java Archive: app.jar\r\n"
              "Java Program Arguments:\r\n"
              "\tone\r\n"
              "\ttwo words",
              Report());
}

TEST_F(SettingsReport, FlagsAndPriorityShowOnlyForTheirMeaningfulValues) {
    Number("EventLogging", 1);
    Number("CreateProcess", 0);
    Number("Priority", 1000);
    std::string report = Report();
    EXPECT_EQ(std::string::npos, report.find("No Event Logging"));
    EXPECT_EQ(std::string::npos, report.find("Init JVM"));
    EXPECT_EQ(std::string::npos, report.find("Priority"));

    const struct {
        DWORD value;
        const char *line;
    } priorities[] = {{64, "Priority: low"}, {32, "Priority: normal"}, {256, "Priority: realtime"}};
    for (const auto &priority : priorities) {
        Number("Priority", priority.value);
        EXPECT_NE(std::string::npos, Report().find(std::string("\r\n") + priority.line + "\r\n")) << priority.line;
    }
}

/* The report may be read by every user of the machine: an option whose name
 * (before its first "=") holds a secret's word, in any case, shows "***" for
 * its value; the stored value stays whole, and nothing else is hidden. */
TEST_F(SettingsReport, SecretOptionValuesAreHiddenButStoredWhole) {
    const std::string options = std::string("-Ddb.password=hunter2") + '\0' + "-DMAIL_PASSWD=p=q" + '\0' +
                                "-Dapp.Secret.Key=s" + '\0' + "-Dauth.token=t" + '\0' + "-Dcloud.Credentials=c" +
                                '\0' + "-Dx.APIKEY=k" + '\0' + "-Dpassword" + '\0' + "-Dhint=password" + '\0' +
                                "-Xmx64m" + '\0';
    Text("JavaOptions", options, REG_MULTI_SZ);
    EXPECT_NE(std::string::npos, Report().find("Java Options:\r\n"
                                               "\t-Ddb.password=***\r\n"
                                               "\t-DMAIL_PASSWD=***\r\n"
                                               "\t-Dapp.Secret.Key=***\r\n"
                                               "\t-Dauth.token=***\r\n"
                                               "\t-Dcloud.Credentials=***\r\n"
                                               "\t-Dx.APIKEY=***\r\n"
                                               "\t-Dpassword\r\n"
                                               "\t-Dhint=password\r\n"
                                               "\t-Xmx64m"));
    auto stored = harness::RegistryGet("System\\CurrentControlSet\\Services\\Reported", "JavaOptions");
    ASSERT_TRUE(stored);
    EXPECT_EQ(options + '\0', stored->data);
}

TEST_F(SettingsReport, ValuesOfTheWrongTypeAreLeftOut) {
    Number("CurrentDirectory", 5);
    Text("Timeout", "30000");
    Text("JavaOptions", "", REG_MULTI_SZ);
    EXPECT_EQ("Reported installed.\r\n"
              "Java Home Path: /found/jdk\r\n"
              "JVM Runtime Library Path: /found/jdk/lib/server/libjvm.so\r\n"
              "Java Options:",
              Report());
}

} // namespace

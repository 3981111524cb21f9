/*
 * The service entry, lookups and the event-log source, called directly with a
 * filled settings record in a fresh root.
 */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <regex>
#include <string>
#include <vector>

#include "common/settings.h"
#include "common/stringlist.h"
#include "config/params.h"
#include "harness.h"
#include "scm/scm.h"

namespace {

const char servicesPath[] = "System\\CurrentControlSet\\Services\\";
const char eventSourcesPath[] = "System\\CurrentControlSet\\Services\\EventLog\\Application";

void Configure(const std::string &name, const std::string &exePath = "/opt/pelorim/pelorim") {
    ResetServiceSettings();
    CopyField(settings.serviceName, name.c_str(), NAME_CAPACITY);
    CopyField(settings.exePath, exePath.c_str(), PATH_CAPACITY);
    std::string prefix = exePath + " " + (name.find(' ') != std::string::npos ? "\"" + name + "\"" : name);
    CopyField(settings.serviceCommandPrefix, prefix.c_str(), COMMAND_PREFIX_CAPACITY);
}

struct Output {
    int result;
    std::string out, err;
};

template <class F> Output Capture(F operation) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    Output output;
    output.result = operation();
    output.out = testing::internal::GetCapturedStdout();
    output.err = testing::internal::GetCapturedStderr();
    return output;
}

DWORD StoredNumber(const std::string &key, const std::string &name) {
    auto value = harness::RegistryGet(key, name);
    if (!value || value->type != REG_DWORD || value->data.size() != 4) return 0xDEADBEEF;
    DWORD number;
    memcpy(&number, value->data.data(), 4);
    return number;
}

std::string StoredText(const std::string &key, const std::string &name) {
    auto value = harness::RegistryGet(key, name);
    return value ? value->data : std::string("<absent>");
}

std::string Owned(char *text) {
    std::string copy = text ? text : "<none>";
    free(text);
    return copy;
}

TEST(CreateServiceEntry, RegistersTheServiceCommandLineTypeAndStartType) {
    harness::MakeFreshRoot();
    Configure("Two Words", "/opt/my apps/pelorim");
    settings.startType = START_MANUAL;

    Output created = Capture(CreateServiceEntry);
    EXPECT_EQ(0, created.result);
    EXPECT_EQ("Two Words installed.\n", created.out);
    EXPECT_EQ("", created.err);

    std::string key = std::string(servicesPath) + "Two Words";
    EXPECT_EQ(std::string("/opt/my apps/pelorim \"Two Words\" /service") + '\0', StoredText(key, "ImagePath"));
    EXPECT_EQ(std::string("Two Words") + '\0', StoredText(key, "DisplayName"));
    EXPECT_EQ(0x10u, StoredNumber(key, "Type"));
    EXPECT_EQ(3u, StoredNumber(key, "Start"));
    EXPECT_EQ(1u, StoredNumber(key, "ErrorControl"));
    auto dependencies = harness::RegistryGet(key, "DependOnService");
    EXPECT_TRUE(!dependencies || harness::SplitMultiString(dependencies->data).empty());
    EXPECT_EQ(0, QueryInteractiveFlag());
}

TEST(CreateServiceEntry, InteractiveServiceHasTheInteractiveTypeAndReadsBackAsInteractive) {
    harness::MakeFreshRoot();
    Configure("Desk");
    settings.interactive = 1;
    ASSERT_EQ(0, Capture(CreateServiceEntry).result);
    EXPECT_EQ(0x110u, StoredNumber(std::string(servicesPath) + "Desk", "Type"));
    EXPECT_EQ(2u, StoredNumber(std::string(servicesPath) + "Desk", "Start"));

    settings.interactive = 0;
    EXPECT_EQ(1, QueryInteractiveFlag());

    /* A name that is not installed reads as not interactive, without a word. */
    Configure("Absent");
    Output absent = Capture(QueryInteractiveFlag);
    EXPECT_EQ(0, absent.result);
    EXPECT_EQ("", absent.err);
}

TEST(CreateServiceEntry, ExistingNameIsReportedAndLeftUntouched) {
    harness::MakeFreshRoot();
    Configure("Taken", "/opt/first/pelorim");
    ASSERT_EQ(0, Capture(CreateServiceEntry).result);

    Configure("Taken", "/opt/second/pelorim");
    settings.startType = START_DISABLED;
    Output again = Capture(CreateServiceEntry);
    EXPECT_EQ(1, again.result);
    EXPECT_EQ("", again.out);
    EXPECT_EQ("Cannot create the service named Taken.\nService with this name already exists.\n", again.err);
    std::string key = std::string(servicesPath) + "Taken";
    EXPECT_EQ(std::string("/opt/first/pelorim Taken /service") + '\0', StoredText(key, "ImagePath"));
    EXPECT_EQ(2u, StoredNumber(key, "Start"));

    /* With warnings on, the controller's code follows. */
    settings.debugLevel = 1;
    Output warned = Capture(CreateServiceEntry);
    EXPECT_TRUE(std::regex_match(warned.err, std::regex("Cannot create the service named Taken\\.\n"
                                                        "Service with this name already exists\\.\n"
                                                        "CreateService: [^\n]+ \\(1073\\)\n")))
        << warned.err;
}

TEST(CreateServiceEntry, InvalidNameIsASystemFailure) {
    harness::MakeFreshRoot();
    Configure("bad/name");
    Output created = Capture(CreateServiceEntry);
    EXPECT_EQ(1, created.result);
    EXPECT_TRUE(std::regex_match(created.err, std::regex("CreateService: [^\n]+ \\(123\\)\n"))) << created.err;
}

TEST(DeleteServiceEntry, RemovesTheServiceWithItsKey) {
    harness::MakeFreshRoot();
    Configure("Gone");
    ASSERT_EQ(0, Capture(CreateServiceEntry).result);
    Output deleted = Capture(DeleteServiceEntry);
    EXPECT_EQ(0, deleted.result);
    EXPECT_EQ("Gone removed.\n", deleted.out);
    EXPECT_EQ("", deleted.err);
    EXPECT_TRUE(harness::RegistryValueNames(std::string(servicesPath) + "Gone").empty());

    Output missing = Capture(DeleteServiceEntry);
    EXPECT_EQ(0, missing.result);
    EXPECT_EQ("", missing.out);
    EXPECT_EQ("Cannot remove the service named Gone.\nService with this name does not exist.\n", missing.err);
}

TEST(FindServiceByDisplayName, FindsTheKeyNameByExactDisplayName) {
    harness::MakeFreshRoot();
    ASSERT_TRUE(harness::CreateServiceWithDisplayName("billing", "Billing Service"));
    ASSERT_TRUE(harness::CreateServiceWithDisplayName("audit", "Audit Trail"));
    /* The event-log sources live under the Services key too, in a key that is no service of ours. */
    Configure("billing");
    ASSERT_EQ(0, RegisterEventLogSource());
    ResetServiceSettings();

    Output found = Capture([] { return FindServiceByDisplayName("Nothing Like It") == NULL ? 0 : 1; });
    EXPECT_EQ(0, found.result);
    EXPECT_EQ("", found.err);
    EXPECT_EQ("billing", Owned(FindServiceByDisplayName("Billing Service")));
    EXPECT_EQ("audit", Owned(FindServiceByDisplayName("Audit Trail")));
    EXPECT_EQ("<none>", Owned(FindServiceByDisplayName("billing service")));
    EXPECT_EQ("<none>", Owned(FindServiceByDisplayName("billing")));

    EXPECT_EQ("Billing Service", Owned(QueryDisplayName("billing")));
    Output missing = Capture([] { return QueryDisplayName("absent") == NULL ? 0 : 1; });
    EXPECT_EQ(0, missing.result);
    EXPECT_EQ("", missing.err);
}

TEST(RegisterEventLogSource, SecondRegistrationOverwritesTheValuesOfTheOneKey) {
    harness::MakeFreshRoot();
    Configure("Logged", "/opt/first/pelorim");
    EXPECT_EQ(0, RegisterEventLogSource());

    std::string key = std::string(eventSourcesPath) + "\\Logged";
    HKEY handle = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_SET_VALUE, &handle));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(handle, "CategoryCount", 0, REG_DWORD, (const BYTE *)"\1\0\0\0", 4));
    RegCloseKey(handle);

    Configure("Logged", "/opt/second place/pelorim");
    EXPECT_EQ(0, RegisterEventLogSource());

    auto file = harness::RegistryGet(key, "EventMessageFile");
    ASSERT_TRUE(file);
    EXPECT_EQ((unsigned)REG_EXPAND_SZ, file->type);
    EXPECT_EQ(std::string("/opt/second place/pelorim") + '\0', file->data);
    EXPECT_EQ(7u, StoredNumber(key, "TypesSupported"));
    EXPECT_EQ(1u, StoredNumber(key, "CategoryCount"));

    HKEY sources = NULL;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, eventSourcesPath, 0, KEY_READ, &sources));
    char name[MAX_PATH];
    std::vector<std::string> names;
    for (DWORD index = 0; RegEnumKeyA(sources, index, name, sizeof name) == ERROR_SUCCESS; ++index)
        names.push_back(name);
    RegCloseKey(sources);
    EXPECT_EQ(std::vector<std::string>{"Logged"}, names);
}

} // namespace

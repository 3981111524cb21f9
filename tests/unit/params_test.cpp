#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "common/guard.h"
#include "common/settings.h"
#include "config/params.h"
#include "harness.h"
#include "log/log.h"

namespace {

const char *const keyPath = "System\\CurrentControlSet\\Services\\ParamSvc";

class Params : public testing::Test {
  protected:
    void SetUp() override {
        harness::MakeFreshRoot();
        ResetServiceSettings();
        CopyField(settings.serviceName, "ParamSvc", NAME_CAPACITY);
        KeyGuard key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Out(),
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override { ResetServiceSettings(); }

    static void Store(const char *name, DWORD type, const std::string &bytes) {
        KeyGuard key;
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_SET_VALUE, key.Out()), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key.Get(), name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
    }
    static void StoreDword(const char *name, DWORD value) {
        Store(name, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), 4));
    }
    /* The stored text, or "<none>". */
    static std::string ReadString(ParameterId id) {
        char *value = ReadStringParameter(id);
        std::string result = value != nullptr ? value : "<none>";
        free(value);
        return result;
    }
    static std::string Console(const std::function<void()> &action) {
        testing::internal::CaptureStderr();
        action();
        return testing::internal::GetCapturedStderr();
    }
    static std::string QueryFailure(DWORD code) {
        char *text = FormatSystemError("RegQueryValueEx", code);
        std::string result = text;
        free(text);
        return result;
    }
};

TEST_F(Params, NumbersAndTheirDefaults) {
    StoreDword("Timeout", 45000);
    StoreDword("Priority", 0xFFFFFFFF);
    Store("DebugLevel", REG_SZ, std::string("12", 3));
    EXPECT_EQ(ReadDwordParameter(PARAMETER_TIMEOUT), 45000);
    EXPECT_EQ(ReadDwordParameter(PARAMETER_PRIORITY), -1);
    /* Missing, or of the wrong type: the table's default stands in. */
    EXPECT_EQ(ReadDwordParameter(PARAMETER_LOG_KEEP), 5);
    EXPECT_EQ(ReadDwordParameter(PARAMETER_EVENT_LOGGING), 1);
    EXPECT_EQ(ReadDwordParameter(PARAMETER_DEBUG_LEVEL), 0);
    DWORD value = 0;
    EXPECT_EQ(ReadParameter(PARAMETER_TIMEOUT, &value, sizeof value), 0);
    EXPECT_EQ(value, 45000u);
    EXPECT_EQ(ReadParameter(PARAMETER_DEBUG_LEVEL, &value, sizeof value), 1);
    EXPECT_EQ(ReadParameter(PARAMETER_LOG_KEEP, &value, sizeof value), 1);

    /* CreateProcess has one meaning for every reader: only 1 detaches. */
    EXPECT_EQ(ReadDetachedParameter(), 0);
    StoreDword("CreateProcess", 2);
    EXPECT_EQ(ReadDetachedParameter(), 0);
    StoreDword("CreateProcess", 1);
    EXPECT_EQ(ReadDetachedParameter(), 1);
}

TEST_F(Params, FailedNumberReadsLogAWarningAndTheDefaultAtTheirLevels) {
    settings.debugLevel = 2;
    std::string missing = Console([] { ReadDwordParameter(PARAMETER_LOG_KEEP); });
    EXPECT_EQ(missing, QueryFailure(2) + "\r\n\t" + keyPath + "\\LogKeep\nLogKeep not specified (default = 5)\n");
    settings.debugLevel = 1;
    EXPECT_EQ(Console([] { ReadDwordParameter(PARAMETER_LOG_KEEP); }),
              QueryFailure(2) + "\r\n\t" + keyPath + "\\LogKeep\n");
    settings.debugLevel = 0;
    EXPECT_EQ(Console([] { ReadDwordParameter(PARAMETER_LOG_KEEP); }), "");
}

TEST_F(Params, StringsAreReturnedAsStored) {
    Store("CurrentDirectory", REG_SZ, std::string("C:\\work\0", 8));
    Store("Description", REG_SZ, std::string("\0", 1));
    Store("JavaHome", REG_EXPAND_SZ, std::string("%JAVA_HOME%\\bin\0", 16));
    EXPECT_EQ(ReadString(PARAMETER_CURRENT_DIRECTORY), "C:\\work");
    EXPECT_EQ(ReadString(PARAMETER_DESCRIPTION), "");
    EXPECT_EQ(ReadString(PARAMETER_JAVA_HOME), "%JAVA_HOME%\\bin");
    EXPECT_EQ(ReadString(PARAMETER_LOG_FILE), "<none>");
}

TEST_F(Params, ValuesWithoutTerminatorsReadSafely) {
    Store("ShutdownCommand", REG_SZ, "abc");
    Store("Environment", REG_MULTI_SZ, std::string("a=1\0b=2", 7));
    Store("JavaOptions", REG_MULTI_SZ, std::string("\0", 1));
    Store("JVMType", REG_SZ, "");
    EXPECT_EQ(ReadString(PARAMETER_SHUTDOWN_COMMAND), "abc");
    char *list = ReadStringParameter(PARAMETER_ENVIRONMENT);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "a=1");
    EXPECT_STREQ(list + 4, "b=2");
    EXPECT_EQ(list[8], '\0');
    free(list);
    char *nothing = ReadStringParameter(PARAMETER_JAVA_OPTIONS);
    ASSERT_NE(nothing, nullptr);
    EXPECT_EQ(nothing[0], '\0');
    free(nothing);
    EXPECT_EQ(ReadString(PARAMETER_JVM_TYPE), "");
}

TEST_F(Params, StringReadsLogAtWarning) {
    StoreDword("JavaHome", 3);
    settings.debugLevel = 1;
    std::string wrongType = Console([] { EXPECT_EQ(ReadStringParameter(PARAMETER_JAVA_HOME), nullptr); });
    EXPECT_EQ(wrongType, "Registry key value does not contain string data:\r\n\tJavaHome\n");
    EXPECT_EQ(Console([] { EXPECT_EQ(ReadStringParameter(PARAMETER_LOG_FILE), nullptr); }),
              QueryFailure(2) + "\r\n\tLogFile\n");
    settings.debugLevel = 0;
    EXPECT_EQ(Console([] { ReadStringParameter(PARAMETER_LOG_FILE); }), "");
}

/* Each value is written with the table's type. */
TEST_F(Params, WritesLandUnderTheServiceKey) {
    std::string text("app.log\0", 8);
    DWORD number = 64;
    EXPECT_EQ(WriteParameter(PARAMETER_LOG_FILE, text.data(), 8), 0);
    EXPECT_EQ(WriteParameter(PARAMETER_PRIORITY, &number, 4), 0);
    EXPECT_EQ(WriteParameter(PARAMETER_JAVA_ARGS, "x\0y\0", 5), 0);
    auto logFile = harness::RegistryGet(keyPath, "LogFile");
    ASSERT_TRUE(logFile);
    EXPECT_EQ(logFile->type, static_cast<unsigned>(REG_SZ));
    EXPECT_EQ(logFile->data, text);
    EXPECT_EQ(ReadDwordParameter(PARAMETER_PRIORITY), 64);
    auto arguments = harness::RegistryGet(keyPath, "JavaArgs");
    ASSERT_TRUE(arguments);
    EXPECT_EQ(arguments->type, static_cast<unsigned>(REG_MULTI_SZ));
    EXPECT_EQ(harness::SplitMultiString(arguments->data), (std::vector<std::string>{"x", "y"}));
}

TEST_F(Params, AServiceThatIsNotInstalledHasNoValues) {
    CopyField(settings.serviceName, "Missing", NAME_CAPACITY);
    settings.debugLevel = 2;
    std::string missingKey = std::string("System\\CurrentControlSet\\Services\\Missing");
    char *open = FormatSystemError("RegOpenKeyEx", 2);
    std::string openFailure = std::string(open) + "\r\n\t" + missingKey + "\n";
    free(open);
    EXPECT_EQ(Console([] { EXPECT_EQ(ReadDwordParameter(PARAMETER_TIMEOUT), 30000); }),
              openFailure + "Timeout not specified (default = 30000)\n");
    EXPECT_EQ(Console([] { EXPECT_EQ(ReadStringParameter(PARAMETER_LOG_FILE), nullptr); }), openFailure);
    DWORD value = 1;
    EXPECT_EQ(Console([&] { EXPECT_EQ(WriteParameter(PARAMETER_TIMEOUT, &value, 4), 1); }), openFailure);
    EXPECT_EQ(Console([&] { EXPECT_EQ(ReadParameter(PARAMETER_TIMEOUT, &value, 4), 1); }), openFailure);
    EXPECT_TRUE(harness::RegistryValueNames(missingKey).empty());
    KeyGuard key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, missingKey.c_str(), 0, KEY_READ, key.Out()), ERROR_FILE_NOT_FOUND);
}

/* The service SID is Windows' own derivation: TrustedInstaller's is well known,
 * and the name's case does not matter. The key is closed to all but SYSTEM,
 * Administrators and that SID, protected from the Services key's entries; a
 * key that is not there is said so, as an error. */
TEST_F(Params, TheServiceKeyIsClosedToAllButSystemAdministratorsAndTheServiceItself) {
    const char trustedInstaller[] = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
    for (const char *name : {"TrustedInstaller", "trustedinstaller"}) {
        TextGuard sid(FormatServiceSid(name));
        EXPECT_STREQ(sid.Get(), trustedInstaller) << name;
    }
    ASSERT_EQ(ProtectServiceKey(), 0);
    TextGuard own(FormatServiceSid("ParamSvc"));
    EXPECT_EQ(harness::DescribeKeySecurity(keyPath),
              std::string("O:S-1-5-32-544G:S-1-5-18D:P(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)"
                          "(A;0x2;0x20019;") + own.Get() + ")");

    CopyField(settings.serviceName, "Missing", NAME_CAPACITY);
    char *open = FormatSystemError("RegOpenKeyEx", 2);
    std::string failure = std::string(open) + "\r\n\tSystem\\CurrentControlSet\\Services\\Missing\n";
    free(open);
    EXPECT_EQ(Console([] { EXPECT_EQ(ProtectServiceKey(), 1); }), failure);
}

} // namespace

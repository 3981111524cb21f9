/* The VM host's guards and the jvm.cfg search, without creating a VM. */
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "control/settings.h"
#include "harness.h"
#include "jvm/jvm.h"
#include "log/log.h"

namespace {

void PrepareConsoleLog() {
    harness::MakeFreshRoot();
    InitializeLog();
    ResetServiceSettings();
    CopyField(settings.serviceName, "HostTest", NAME_CAPACITY);
    settings.debugLevel = 2;
}

/* A stop that comes before the VM exists, or after it is gone, never reaches it. */
TEST(JvmHost, ShutdownAndStartupObserverLeaveAMissingVmAlone) {
    PrepareConsoleLog();
    javaVM = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(JavaShutdown(), 1);
    EXPECT_EQ(ObserveStartupProgress("starting"), 1);
    SetJvmLive(1);
    SetJvmLive(0);
    EXPECT_EQ(JavaShutdown(), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ShutdownMethod not specified\nNo Java VM is running (JavaShutdown)\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("No Java VM is running (ObserveStartupProgress)\n"), std::string::npos) << err;
    JNIEnv *env = nullptr;
    EXPECT_EQ(AttachToLiveJvm(&env), 1);
    EXPECT_EQ(env, nullptr);
}

TEST(JvmHost, TheFirstPlaceWithAJvmCfgIsReadAndReported) {
    PrepareConsoleLog();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    mkdir((home + "/lib").c_str(), 0755);
    mkdir((home + "/lib/amd64").c_str(), 0755);
    harness::WriteText(home + "/lib/amd64/jvm.cfg", "-deep KNOWN\n");
    harness::WriteText(home + "/lib/jvm.cfg", "# header\n-server KNOWN\n-client IGNORE\n");

    StringList types = {};
    char configDirectory[PATH_CAPACITY + 1];
    testing::internal::CaptureStderr();
    ASSERT_EQ(FindJvmConfig(home.c_str(), &types, configDirectory), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(configDirectory), home + "/lib");
    EXPECT_EQ(std::vector<std::string>(types.items, types.items + types.count),
              (std::vector<std::string>{"-server", "-client"}));
    EXPECT_NE(err.find("Searching for jvm.cfg in:  " + home + "\nfopen: "), std::string::npos) << err;
    EXPECT_NE(err.find("jvm.cfg found in:  " + home + "/lib\n"), std::string::npos) << err;
    ClearStrings(&types);

    std::string empty = harness::MakeTempDirectory("pelorim-home");
    testing::internal::CaptureStderr();
    EXPECT_EQ(FindJvmConfig(empty.c_str(), &types, configDirectory), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(types.count, 0);
    EXPECT_STREQ(configDirectory, "");
}

TEST(JvmHost, AJvmCfgWithoutTypesNamesNoLibrary) {
    PrepareConsoleLog();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    harness::WriteText(home + "/jvm.cfg", "# nothing listed\n");
    free(jvmType);
    jvmType = nullptr;
    JniEntryPoints entryPoints = {};
    testing::internal::CaptureStderr();
    EXPECT_EQ(SearchJvmDirectory(home.c_str(), &entryPoints), 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("LoadJNILibrary"), std::string::npos) << err;
    EXPECT_EQ(entryPoints.library, nullptr);
}

} // namespace

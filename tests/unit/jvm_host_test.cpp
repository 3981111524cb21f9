/* The VM host's guard and a jvm.cfg without types, without creating a VM. */
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "common/settings.h"
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

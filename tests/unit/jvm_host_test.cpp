/* The VM host's guard, a jvm.cfg without types, the feature versions that
 * runtimes' names and homes tell, without creating a VM, and the path helpers
 * that the runtime search builds its paths with. */
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "common/settings.h"
#include "harness.h"
#include "host.h"
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

/* The names that installers give their folders and keys; a release file
 * outweighs its folder's name. */
TEST(JvmHost, FeatureVersionsOfNamesAndHomes) {
    const std::pair<const char *, int> names[] = {
        {"jdk-21.0.5.11-hotspot", 21}, {"jdk-17", 17}, {"17.0.6.7", 17}, {"zulu-11", 11}, {"jdk1.8.0_392", 8},
        {"1.8", 8}, {"java-1.8.0-openjdk-amd64", 8}, {"LibericaJDK-21", 21}, {"current", 0}, {"", 0},
        {"jdk-9999999", 0}};
    for (const auto &name : names) EXPECT_EQ(FeatureVersionOfName(name.first), name.second) << name.first;

    std::string home = harness::MakeTempDirectory("jdk-21.0.1-hotspot");
    EXPECT_EQ(FeatureVersionOfHome((home + "/").c_str()), 21);
    harness::WriteText(home + "/release", "IMPLEMENTOR=\"Eclipse Adoptium\"\nJAVA_VERSION=\"17.0.6\"\n");
    EXPECT_EQ(FeatureVersionOfHome(home.c_str()), 17);
    EXPECT_EQ(FeatureVersionOfHome("/nonexistent/folder"), 0);
}

/* Linux has one separator and no drives: a backslash is part of a name, and
 * "C:" is a folder like any other, whose parent the drive rule of Windows must
 * not widen to "C:/". The root stays the root; a result that does not fit is
 * refused whole. */
TEST(JvmHost, PathHelpersKnowOnlyTheSlash) {
    char out[16];
    EXPECT_EQ(HostParentDirectory(out, sizeof out, "/jdk/bin//"), 0);
    EXPECT_STREQ(out, "/jdk");
    EXPECT_EQ(HostParentDirectory(out, sizeof out, "//libjvm.so"), 0);
    EXPECT_STREQ(out, "/");
    EXPECT_EQ(HostParentDirectory(out, sizeof out, "C:/libjvm.so"), 0);
    EXPECT_STREQ(out, "C:");
    EXPECT_EQ(HostParentDirectory(out, sizeof out, "jdk\\libjvm.so"), 1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(HostJoinPath(out, sizeof out, "/jdk//", "/bin"), 0);
    EXPECT_STREQ(out, "/jdk/bin");
    EXPECT_EQ(HostJoinPath(out, sizeof out, "jdk\\", "/bin"), 0);
    EXPECT_STREQ(out, "jdk\\/bin");
    EXPECT_EQ(HostJoinPath(out, 8, "/jdk/", "/bin"), 1);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(HostIsAbsolutePath("/jdk"));
    EXPECT_FALSE(HostIsAbsolutePath("C:/jdk"));
    EXPECT_FALSE(HostIsAbsolutePath("\\jdk"));
}

} // namespace

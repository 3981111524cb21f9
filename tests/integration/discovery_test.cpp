/* Finding the Java runtime at /install: fake Java homes built around the real
 * libjvm.so, the JavaSoft keys, and the JDKs installed on this machine. */
#include <dirent.h>
#include <elf.h>
#include <limits.h>
#include <stdlib.h>

#include <set>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <windows.h>

#include <string>
#include <vector>

#include "harness.h"

namespace {

const char kService[] = "DiscoverySvc";
const char kServiceKey[] = "System\\CurrentControlSet\\Services\\DiscoverySvc";
const char kJdkKey[] = "Software\\JavaSoft\\Java Development Kit";
const char kJreKey[] = "Software\\JavaSoft\\Java Runtime Environment";
const char kCurrentJdkKey[] = "Software\\JavaSoft\\JDK";
const char kCurrentJreKey[] = "Software\\JavaSoft\\JRE";

std::string RealLibjvm() { return harness::JavaHome() + "/lib/server/libjvm.so"; }

void MakeDirectories(const std::string &path) {
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos) break;
    }
}

/* Links the real runtime library at home + relative. */
void LinkLibjvm(const std::string &home, const std::string &relative) {
    std::string path = home + "/" + relative;
    MakeDirectories(path.substr(0, path.rfind('/')));
    ASSERT_EQ(symlink(RealLibjvm().c_str(), path.c_str()), 0) << path;
}

void WriteConfig(const std::string &home, const std::string &relativeDirectory, const std::string &text) {
    std::string directory = home + (relativeDirectory.empty() ? "" : "/" + relativeDirectory);
    MakeDirectories(directory);
    harness::WriteText(directory + "/jvm.cfg", text);
}

void SetRegistryString(const char *keyPath, const char *name, const std::string &value) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                             (DWORD)value.size() + 1),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

/* A JavaSoft key as a Windows installer leaves it; empty values are not written. */
void RegisterJava(const char *keyPath, const std::string &home, const std::string &runtimeLib) {
    SetRegistryString(keyPath, "CurrentVersion", "99");
    std::string versionKey = std::string(keyPath) + "\\99";
    if (!home.empty()) SetRegistryString(versionKey.c_str(), "JavaHome", home);
    if (!runtimeLib.empty()) SetRegistryString(versionKey.c_str(), "RuntimeLib", runtimeLib);
}

/* The machine's default JDK, registered with the fresh root as a JDK 9+
 * installer does, is hidden. */
void ForgetDefaultJdk() { SetRegistryString(kCurrentJdkKey, "CurrentVersion", "none"); }

harness::RunResult Install(const std::vector<std::string> &javaCommandLine, harness::RunOptions options = {},
                           const std::vector<std::string> &switches = {}) {
    std::vector<std::string> arguments = {kService, "/install", "/debug:2"};
    arguments.insert(arguments.end(), switches.begin(), switches.end());
    arguments.insert(arguments.end(), javaCommandLine.begin(), javaCommandLine.end());
    if (options.directory.empty()) options.directory = harness::MakeTempDirectory("pelorim-cwd");
    options.unset.push_back("CLASSPATH");
    if (options.environment.find("JAVA_HOME") == options.environment.end()) options.unset.push_back("JAVA_HOME");
    return harness::RunPelorim(arguments, options);
}

void LayOutJdk(const std::string &home, const std::string &version);

std::vector<std::string> MainClassLine() { return {"-cp", harness::JavaClasses(), "LongRunning"}; }

harness::RunOptions WithJavaHome(const std::string &home) {
    harness::RunOptions options;
    options.environment["JAVA_HOME"] = home;
    return options;
}

std::string Stored(const char *name) {
    auto value = harness::RegistryGet(kServiceKey, name);
    if (!value) return "<absent>";
    std::string text = value->data;
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

bool ServiceExists() { return harness::RegistryGet(kServiceKey, "ImagePath").has_value(); }

/* The lines of `text` that begin with `prefix`, in order. */
std::vector<std::string> LinesStartingWith(const std::string &text, const std::string &prefix) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

/* Installs MainClassLine(), which must succeed, and checks the runtime sources
 * tried after the first one (the working directory). */
void ExpectSourcesAfterTheFirst(const std::vector<std::string> &expected) {
    harness::RunResult result = Install(MainClassLine());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> sources = LinesStartingWith(result.err, "Loading JNI: ");
    ASSERT_FALSE(sources.empty()) << result.err;
    EXPECT_EQ(std::vector<std::string>(sources.begin() + 1, sources.end()), expected) << result.err;
}

/* The latest settings report of `service`. */
std::string ReportText(const std::string &service = kService) {
    std::string report;
    for (const harness::EventRecord &record : harness::EventLog())
        if (record.message.rfind(service + " installed.", 0) == 0) report = record.message;
    return report;
}

TEST(Discovery, AJvmCfgInLibNamesTheTypesAndTheFirstOneIsLoadedBesideIt) {
    harness::MakeFreshRoot();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    WriteConfig(home, "lib", "# types\n-client KNOWN\n-server KNOWN\n-hotspot ALIASED_TO -client\n");
    LinkLibjvm(home, "lib/client/libjvm.so");
    LinkLibjvm(home, "lib/server/libjvm.so");

    harness::RunResult result = Install(MainClassLine(), WithJavaHome(home));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("Loading JNI: JAVA_HOME env var used: " + home + "\n"), std::string::npos);
    EXPECT_EQ(LinesStartingWith(result.err, "Searching for jvm.cfg in:  "),
              (std::vector<std::string>{"Searching for jvm.cfg in:  " + home,
                                        "Searching for jvm.cfg in:  " + home + "/lib"}));
    EXPECT_EQ(LinesStartingWith(result.err, "fopen: ").size(), 1u);
    EXPECT_NE(result.err.find(" (2) " + home + "/jvm.cfg\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("jvm.cfg found in:  " + home + "/lib\n"), std::string::npos);
    EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary "),
              std::vector<std::string>{"LoadJNILibrary " + home + "/lib/client/libjvm.so"});
    EXPECT_EQ(Stored("JVMType"), "<absent>");
    EXPECT_NE(ReportText().find("\r\nJVM Runtime Library Path: " + home + "/lib/client/libjvm.so\r\n"),
              std::string::npos)
        << ReportText();
}

TEST(Discovery, ARequestedTypeIsUsedOnlyWhenListedExactly) {
    harness::MakeFreshRoot();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    WriteConfig(home, "lib", "-client KNOWN\n-server KNOWN\n-hotspot ALIASED_TO -client\n");
    LinkLibjvm(home, "lib/client/libjvm.so");
    LinkLibjvm(home, "lib/server/libjvm.so");

    std::vector<std::string> line = MainClassLine();
    line.insert(line.begin(), "-server");
    harness::RunResult result = Install(line, WithJavaHome(home));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary "),
              std::vector<std::string>{"LoadJNILibrary " + home + "/lib/server/libjvm.so"});
    EXPECT_EQ(Stored("JVMType"), "-server");
    EXPECT_EQ(harness::SplitMultiString(harness::RegistryGet(kServiceKey, "JavaOptions")->data),
              std::vector<std::string>{"-Djava.class.path=" + harness::JavaClasses()});

    /* Another case is no type: the first type is loaded and "-Server" stays an
     * option, which the probe VM refuses. */
    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    line[0] = "-Server";
    result = Install(line, WithJavaHome(home));
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary "),
              std::vector<std::string>{"LoadJNILibrary " + home + "/lib/client/libjvm.so"});
    EXPECT_NE(result.err.find("Could not create the Java virtual machine"), std::string::npos);
    EXPECT_FALSE(ServiceExists());
}

TEST(Discovery, AMissingTypedLibraryFailsWithoutFallingBackToTheClassicOne) {
    harness::MakeFreshRoot();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    WriteConfig(home, "", "-client KNOWN\n");
    LinkLibjvm(home, "lib/server/libjvm.so");
    harness::RunResult result = Install(MainClassLine(), WithJavaHome(home));
    EXPECT_EQ(result.exitCode, 1) << result.err;
    /* Neither the home's classic library nor any other source is tried. */
    EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary "),
              (std::vector<std::string>{"LoadJNILibrary " + home + "/client/libjvm.so",
                                        "LoadJNILibrary " + home + "/jre/lib/server/libjvm.so"}));
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").size(), 1u);
    EXPECT_NE(result.err.find("Cannot find any suitable Java VM software on your computer.\n"
                              "Please download and install a Java VM from https://"),
              std::string::npos);
    EXPECT_FALSE(ServiceExists());
}

TEST(Discovery, AHomeWithoutJvmCfgLoadsTheClassicLibrary) {
    harness::MakeFreshRoot();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    LinkLibjvm(home, "lib/server/libjvm.so");
    harness::RunResult result = Install(MainClassLine(), WithJavaHome(home));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Searching for jvm.cfg in:  "),
              (std::vector<std::string>{"Searching for jvm.cfg in:  " + home,
                                        "Searching for jvm.cfg in:  " + home + "/lib",
                                        "Searching for jvm.cfg in:  " + home + "/lib/amd64"}));
    EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary "),
              std::vector<std::string>{"LoadJNILibrary " + home + "/lib/server/libjvm.so"});
    /* A home that succeeds directly records no Java home of its own. */
    EXPECT_EQ(ReportText().find("Java Home Path: "), std::string::npos) << ReportText();
}

TEST(Discovery, AJdk8LayoutIsReachedThroughItsJreAndRecordedAsTheJavaHome) {
    harness::MakeFreshRoot();
    std::string home = harness::MakeTempDirectory("pelorim-home");
    WriteConfig(home, "jre/lib/amd64", "-server KNOWN\n-client IGNORE\n");
    LinkLibjvm(home, "jre/lib/amd64/server/libjvm.so");
    harness::RunOptions options = WithJavaHome("\"" + home + "\"");
    harness::RunResult result = Install(MainClassLine(), options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("Loading JNI: JAVA_HOME env var used: " + home + "\n"), std::string::npos);
    EXPECT_NE(result.err.find("jvm.cfg found in:  " + home + "/jre/lib/amd64\n"), std::string::npos);
    std::string report = ReportText();
    EXPECT_NE(report.find("\r\nJava Home Path: " + home + "/jre\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\r\nJVM Runtime Library Path: " + home + "/jre/lib/amd64/server/libjvm.so\r\n"),
              std::string::npos)
        << report;
}

/* One double quote is taken as it is: a folder of that name, which is not
 * there, so the search goes on. */
TEST(Discovery, AJavaHomeOfOneQuoteIsUsedUnchanged) {
    harness::MakeFreshRoot();
    harness::RunResult result = Install(MainClassLine(), WithJavaHome("\""));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("\nJAVA_HOME \" no longer exists\n"), std::string::npos) << result.err;
}

TEST(Discovery, ARuntimeLibraryParameterIsTheOnlySourceTried) {
    harness::MakeFreshRoot();
    harness::RunResult result =
        Install(MainClassLine(), WithJavaHome("/nonexistent"),
                {"/runtimelib:" + RealLibjvm(), "/javahome:/nonexistent/home"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: "),
              std::vector<std::string>{"Loading JNI: runtimelib param used: " + RealLibjvm()});
    EXPECT_EQ(Stored("JNILibrary"), RealLibjvm());
    EXPECT_EQ(Stored("JavaHome"), "/nonexistent/home");

}

TEST(Discovery, ALibraryWithoutTheJniEntryPointsIsRefused) {
    harness::MakeFreshRoot();
    std::string other = harness::JavaHome() + "/lib/libjli.so";
    harness::RunResult result = Install(MainClassLine(), {}, {"/runtimelib:" + other});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("GetProcAddress: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(" JNI_CreateJavaVM\n"), std::string::npos) << result.err;
}

TEST(Discovery, TheCurrentDirectoryComesBeforeTheRegistry) {
    harness::MakeFreshRoot();
    harness::RunOptions options;
    options.directory = harness::JavaHome();
    harness::RunResult result = Install(MainClassLine(), options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: "),
              std::vector<std::string>{"Loading JNI: Current working dir used: " + harness::JavaHome()});
}

/* A fresh root registers its default JDK as a JDK 9+ installer does: a
 * JavaHome alone, which names no home of its own in the report. */
TEST(Discovery, AFreshRootRegistersItsDefaultJdkAsACurrentInstallerDoes) {
    harness::MakeFreshRoot();
    harness::RunResult result = Install(MainClassLine());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> sources = LinesStartingWith(result.err, "Loading JNI: ");
    ASSERT_EQ(sources.size(), 2u) << result.err;
    EXPECT_EQ(sources[1].rfind("Loading JNI: JavaHome (JavaSoft\\JDK reg) used: /usr/lib/jvm/", 0), 0u);
    EXPECT_EQ(ReportText().find("Java Home Path: "), std::string::npos) << ReportText();
    EXPECT_NE(ReportText().find("\r\nJava Runtime Found Through: JavaHome (JavaSoft\\JDK reg)\r\n"),
              std::string::npos);
}

/* The key that installers up to Java 8 wrote is read first; its RuntimeLib
 * records its JavaHome, and the newer keys are not even read. */
TEST(Discovery, AnOldDevelopmentKitKeyComesFirstAndRecordsItsHome) {
    harness::MakeFreshRoot();
    RegisterJava(kJdkKey, harness::JavaHome(), RealLibjvm());
    harness::RunResult result = Install(MainClassLine());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").back(),
              "Loading JNI: RuntimeLib (JavaSoft JDK reg) used: " + RealLibjvm());
    EXPECT_NE(ReportText().find("\r\nJava Home Path: " + harness::JavaHome() + "\r\n"), std::string::npos)
        << ReportText();
    EXPECT_EQ(result.err.find("JavaSoft\\JDK"), std::string::npos) << result.err;
}

/* The keys of Java 9 and later installers come after the older ones and are
 * read the same way: a JDK key whose JavaHome fails falls through to the JRE
 * key, whose RuntimeLib records its JavaHome. The PATH is not reached. */
TEST(Discovery, TheCurrentJavaSoftKeysComeAfterTheOlderOnes) {
    harness::MakeFreshRoot();
    ForgetDefaultJdk();
    RegisterJava(kCurrentJdkKey, "/nonexistent/jdk", "");
    RegisterJava(kCurrentJreKey, harness::JavaHome(), RealLibjvm());
    ExpectSourcesAfterTheFirst({"Loading JNI: JavaHome (JavaSoft\\JDK reg) used: /nonexistent/jdk",
                                "Loading JNI: RuntimeLib (JavaSoft\\JRE reg) used: " + RealLibjvm()});
    std::string report = ReportText();
    EXPECT_NE(report.find("\r\nJava Home Path: " + harness::JavaHome() + "\r\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\r\nJava Runtime Found Through: RuntimeLib (JavaSoft\\JRE reg)\r\n"), std::string::npos)
        << report;
}

/* Registered nowhere, the runtime is the java of PATH, its links followed to
 * its home; a launcher outside any Java home comes first and is passed over,
 * and so is a relative entry, which would depend on the current directory.
 * The service finds it again through the PATH that /install stored. */
TEST(Discovery, ARuntimeOnlyOnThePathInstallsAndRuns) {
    harness::MakeFreshRoot();
    ForgetDefaultJdk();
    std::string launchers = harness::MakeTempDirectory("pelorim-javapath");
    harness::WriteText(launchers + "/java", "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(chmod((launchers + "/java").c_str(), 0755), 0);
    char home[PATH_MAX];
    ASSERT_TRUE(realpath(harness::JavaHome().c_str(), home));
    std::string control = harness::MakeTempDirectory("pelorim-app");
    LayOutJdk(control + "/relative", "17.0.5");
    harness::RunOptions options;
    options.directory = control;
    options.environment["PATH"] = "relative/bin:" + launchers + ":" + harness::JavaHome() + "/bin";

    harness::RunResult result = Install({"-cp", harness::JavaClasses(), "LongRunning", control}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("\nRelative PATH entry passed over: relative/bin\n"), std::string::npos) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").back(),
              "Loading JNI: java on PATH used: " + std::string(home));
    EXPECT_NE(ReportText().find("\r\nJava Runtime Found Through: java on PATH\r\n"), std::string::npos)
        << ReportText();
    result = harness::RunPelorim({kService, "/start"}, options);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(harness::WaitFor([&] { return harness::FileExists(control + "/started"); }, 30));
    EXPECT_EQ(harness::RunPelorim({kService, "/stop"}).exitCode, 0);
    EXPECT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
}

/* A library that is there but cannot be loaded here says why, before the
 * usual message, and nothing is installed. */
TEST(Discovery, ALibraryThatIsThereButCannotBeLoadedSaysWhy) {
    harness::MakeFreshRoot();
    /* libjava.so needs libjvm.so, which its run path does not reach. */
    std::string needy = harness::JavaHome() + "/lib/libjava.so";
    harness::RunResult result = Install(MainClassLine(), {}, {"/runtimelib:" + needy});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("The library libjvm.so that the Java runtime library " + needy +
                              " needs was not found (126); looked in the library's own run path"),
              std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("\nCannot find any suitable Java VM software on your computer.\n"), std::string::npos);

    /* The ELF header of this very program, in the other class. */
    std::string other = harness::MakeTempDirectory("pelorim-other") + "/libjvm.so";
    std::string image = harness::ReadText("/proc/self/exe").substr(0, 4096);
    image[EI_CLASS] = image[EI_CLASS] == ELFCLASS64 ? ELFCLASS32 : ELFCLASS64;
    harness::WriteText(other, image);
    int otherBits = image[EI_CLASS] == ELFCLASS64 ? 64 : 32;
    result = Install(MainClassLine(), {}, {"/runtimelib:" + other});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("The Java runtime library " + other + " is " + std::to_string(otherBits) +
                              "-bit and cannot be loaded by this " + std::to_string(96 - otherBits) +
                              "-bit program: use a " + std::to_string(otherBits) + "-bit build of Pelorim for it.\n"),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(ServiceExists());
}

TEST(Discovery, ABadDevelopmentKitRuntimeLibEndsTheSearch) {
    harness::MakeFreshRoot();
    RegisterJava(kJdkKey, harness::JavaHome(), "/nonexistent/libjvm.so");
    RegisterJava(kJreKey, harness::JavaHome(), RealLibjvm());
    harness::RunResult result = Install(MainClassLine());
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").back(),
              "Loading JNI: RuntimeLib (JavaSoft JDK reg) used: /nonexistent/libjvm.so");
    EXPECT_NE(result.err.find("LoadLibrary: "), std::string::npos);
}

TEST(Discovery, ABadDevelopmentKitHomeFallsThroughToTheRuntimeEnvironment) {
    harness::MakeFreshRoot();
    RegisterJava(kJdkKey, "/nonexistent/jdk", "");
    RegisterJava(kJreKey, "", RealLibjvm());
    ExpectSourcesAfterTheFirst({"Loading JNI: JavaHome (JavaSoft JDK reg) used: /nonexistent/jdk",
                                "Loading JNI: RuntimeLib (JavaSoft JRE reg) used: " + RealLibjvm()});

}

TEST(Discovery, ARuntimeEnvironmentHomeIsTheLastOfTheOlderSources) {
    harness::MakeFreshRoot();
    ForgetDefaultJdk();
    RegisterJava(kJreKey, harness::JavaHome(), "");
    harness::RunResult result = Install(MainClassLine());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").back(),
              "Loading JNI: JavaHome (JavaSoft JRE reg) used: " + harness::JavaHome());
}

TEST(Discovery, NoRuntimeAnywhereGivesExitCode1WhateverTheCommandLine) {
    harness::MakeFreshRoot();
    ForgetDefaultJdk();
    harness::RunOptions noJavaOnPath;
    noJavaOnPath.environment["PATH"] = harness::MakeTempDirectory("pelorim-path");
    harness::RunResult result = Install({"-Xmx64m"}, noJavaOnPath);
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("Cannot find any suitable Java VM software on your computer."), std::string::npos);
    EXPECT_EQ(result.err.find("main class or jar file not specified"), std::string::npos);
    EXPECT_FALSE(ServiceExists());
}

/* A Java home as a JDK installer lays it out, around the real runtime
 * library: a launcher of its own (so that PATH leads to this home, not to the
 * real one) and a release file of `version`. */
void LayOutJdk(const std::string &home, const std::string &version) {
    WriteConfig(home, "lib", "-server KNOWN\n-client IGNORE\n");
    LinkLibjvm(home, "lib/server/libjvm.so");
    MakeDirectories(home + "/bin");
    harness::WriteText(home + "/bin/java", "#!/bin/sh\nexit 1\n");
    ASSERT_EQ(chmod((home + "/bin/java").c_str(), 0755), 0);
    harness::WriteText(home + "/release", "JAVA_VERSION=\"" + version + "\"\n");
}

/* Temurin's own key for a version, its Path with the trailing separator that
 * the installer writes. */
std::string TemurinKey(const std::string &version) {
    return "Software\\Eclipse Adoptium\\JDK\\" + version + "\\hotspot\\MSI";
}

void RegisterTemurin(const std::string &version, const std::string &home) {
    SetRegistryString(TemurinKey(version).c_str(), "Path", home + "/");
}

void ForgetTemurin(const std::string &version) {
    std::string key = TemurinKey(version);
    for (int level = 0; level < 3; level++) {
        ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str()), ERROR_SUCCESS) << key;
        key.erase(key.rfind('\\'));
    }
}

/* An update replaces the JDK's folder (jdk-17.0.5.8-hotspot becomes
 * jdk-17.0.6.7-hotspot) and its installer's key. A service whose runtime came
 * through PATH or JAVA_HOME names the stale source and follows the update
 * through the installer's key, to the same feature version although a newer
 * JDK 21 is registered too; one pinned with /javahome: fails and says why.
 * Homes carry a blank and installers' trailing separators: no path shown is
 * joined with a doubled one. */
TEST(Discovery, AJdkUpdateIsFollowedUnlessTheRuntimeIsPinned) {
    harness::MakeFreshRoot();
    ForgetDefaultJdk();
    std::string vendor = harness::MakeTempDirectory("pelorim-jdks") + "/Eclipse Adoptium";
    std::string before = vendor + "/jdk-17.0.5.8-hotspot", after = vendor + "/jdk-17.0.6.7-hotspot";
    std::string newer = vendor + "/jdk-21.0.1.12-hotspot";
    LayOutJdk(before, "17.0.5");
    RegisterTemurin("17.0.5.8", before);
    std::string control = harness::MakeTempDirectory("pelorim-app");
    std::string noJava = harness::MakeTempDirectory("pelorim-path");
    struct Service {
        std::string name, log;
        harness::RunOptions options;
        std::vector<std::string> switches;
    };
    std::vector<Service> services(3);
    services[0].name = "ThroughPath";
    services[0].options.environment["PATH"] = before + "/bin:" + noJava;
    services[1].name = "ThroughJavaHome";
    services[1].options.environment["PATH"] = noJava;
    services[1].options.environment["JAVA_HOME"] = before + "/";
    services[2].name = "Pinned";
    services[2].options.environment["PATH"] = noJava;
    services[2].switches = {"/javahome:" + before + "/"};
    for (Service &service : services) {
        SCOPED_TRACE(service.name);
        service.log = control + "/" + service.name + ".log";
        service.options.directory = control;
        service.options.unset.push_back("CLASSPATH");
        std::vector<std::string> arguments = {service.name, "/install", "/debug:2", "/logfile:" + service.log};
        arguments.insert(arguments.end(), service.switches.begin(), service.switches.end());
        for (const std::string &word : {std::string("-cp"), harness::JavaClasses(), std::string("LongRunning"),
                                        control + "/" + service.name})
            arguments.push_back(word);
        harness::RunResult result = harness::RunPelorim(arguments, service.options);
        ASSERT_EQ(result.exitCode, 0) << result.err;
        EXPECT_EQ(result.err.find("//"), std::string::npos) << result.err;
        bool followed = service.name != "Pinned";
        EXPECT_EQ(result.err.find("should a JDK update move it to another folder") != std::string::npos, followed)
            << result.err;
        MakeDirectories(control + "/" + service.name);
    }
    EXPECT_NE(ReportText("Pinned").find("\r\nJava Home Path: " + before + "/\r\nJVM Runtime Library Path: " +
                                        before + "/lib/server/libjvm.so\r\n"),
              std::string::npos)
        << ReportText("Pinned");

    ASSERT_EQ(system(("rm -rf '" + before + "'").c_str()), 0);
    ForgetTemurin("17.0.5.8");
    LayOutJdk(after, "17.0.6");
    RegisterTemurin("17.0.6.7", after);
    LayOutJdk(newer, "21.0.1");
    RegisterTemurin("21.0.1.12", newer);

    for (int i = 0; i < 2; i++) {
        const Service &service = services[i];
        SCOPED_TRACE(service.name);
        harness::RunResult result = harness::RunPelorim({service.name, "/start"});
        EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
        EXPECT_TRUE(harness::WaitFor([&] { return harness::FileExists(control + "/" + service.name + "/started"); },
                                     30));
        EXPECT_EQ(harness::RunPelorim({service.name, "/stop"}).exitCode, 0);
        std::string log = harness::ReadText(service.log);
        std::string gone = i == 0 ? "WARNING: PATH " + before + "/bin no longer exists\r\n"
                                  : "WARNING: JAVA_HOME " + before + "/ no longer exists\r\n";
        EXPECT_NE(log.find(gone), std::string::npos) << log;
        EXPECT_NE(log.find("WARNING: Java 17 runtime found through Path (Eclipse Adoptium\\JDK\\17.0.6.7\\hotspot"
                           "\\MSI reg) used instead: " + after + "/\r\n"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("LoadJNILibrary " + after + "/lib/server/libjvm.so\r\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("//"), std::string::npos) << log;
    }

    harness::RunResult result = harness::RunPelorim({"Pinned", "/start"});
    EXPECT_NE(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(harness::WaitFor(
        [&] {
            return harness::ReadText(services[2].log)
                       .find("ERROR: JavaHome " + before +
                             "/ no longer exists, and this service uses only that Java runtime: change its JavaHome "
                             "value, or install again, to use another.\r\n") != std::string::npos;
        },
        20))
        << harness::ReadText(services[2].log);
    for (const Service &service : services) EXPECT_EQ(harness::RunPelorim({service.name, "/uninstall"}).exitCode, 0);
}

/* Every JDK installed under /usr/lib/jvm is found through each source. */
TEST(Discovery, EveryInstalledJdkIsFoundThroughEverySource) {
    harness::MakeFreshRoot();
    std::vector<std::string> homes;
    std::set<std::string> seen; /* the same JDK under several names (symbolic links) is tried once */
    if (DIR *jvms = opendir("/usr/lib/jvm")) {
        while (dirent *entry = readdir(jvms)) {
            std::string candidate = std::string("/usr/lib/jvm/") + entry->d_name;
            char real[PATH_MAX];
            if (entry->d_name[0] == '.' || !harness::FileExists(candidate + "/release") ||
                !harness::FileExists(candidate + "/lib/server/libjvm.so") || !realpath(candidate.c_str(), real))
                continue;
            if (seen.insert(real).second) homes.push_back(candidate);
        }
        closedir(jvms);
    }
    ASSERT_FALSE(homes.empty());
    for (const std::string &home : homes) {
        SCOPED_TRACE(home);
        std::string library = home + "/lib/server/libjvm.so";
        struct Way {
            const char *source;
            harness::RunOptions options;
            std::vector<std::string> switches;
        };
        std::vector<Way> ways(4);
        ways[0].source = "Loading JNI: JAVA_HOME env var used: ";
        ways[0].options.environment["JAVA_HOME"] = home;
        ways[1].source = "Loading JNI: javahome param used: ";
        ways[1].switches = {"/javahome:" + home};
        ways[2].source = "Loading JNI: Current working dir used: ";
        ways[2].options.directory = home;
        ways[3].source = "Loading JNI: RuntimeLib (JavaSoft JDK reg) used: ";
        for (Way &way : ways) {
            SCOPED_TRACE(way.source);
            RegisterJava(kJdkKey, home, library);
            harness::RunResult result = Install(MainClassLine(), way.options, way.switches);
            ASSERT_EQ(result.exitCode, 0) << result.err;
            EXPECT_EQ(LinesStartingWith(result.err, "Loading JNI: ").back().rfind(way.source, 0), 0u) << result.err;
            EXPECT_EQ(LinesStartingWith(result.err, "LoadJNILibrary ").back(), "LoadJNILibrary " + library);
            ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
        }
    }
}

} // namespace

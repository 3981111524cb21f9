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

/* The machine's default JDK, registered with the fresh root, is hidden. */
void ForgetDefaultJdk() { SetRegistryString(kJdkKey, "CurrentVersion", "none"); }

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

/* The latest settings report. */
std::string ReportText() {
    std::string report;
    for (const harness::EventRecord &record : harness::EventLog())
        if (record.message.rfind(std::string(kService) + " installed.", 0) == 0) report = record.message;
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

TEST(Discovery, AJavaHomeOfOneQuoteIsUsedUnchanged) {
    harness::MakeFreshRoot();
    harness::RunResult result = Install(MainClassLine(), WithJavaHome("\""));
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("Loading JNI: JAVA_HOME env var used: \"\n"), std::string::npos) << result.err;
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

TEST(Discovery, TheDevelopmentKitKeyOfAFreshRootFindsTheDefaultJdk) {
    harness::MakeFreshRoot();
    harness::RunResult result = Install(MainClassLine());
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> sources = LinesStartingWith(result.err, "Loading JNI: ");
    ASSERT_EQ(sources.size(), 2u) << result.err;
    EXPECT_EQ(sources[1].rfind("Loading JNI: RuntimeLib (JavaSoft JDK reg) used: /usr/lib/jvm/", 0), 0u);
    EXPECT_NE(ReportText().find("\r\nJava Home Path: /usr/lib/jvm/"), std::string::npos) << ReportText();
    /* The newer keys are not even read when the older ones find a runtime. */
    EXPECT_EQ(result.err.find("JavaSoft\\JDK"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("\nJava runtime found through RuntimeLib (JavaSoft JDK reg): /usr/lib/jvm/"),
              std::string::npos);
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
 * its home; a launcher outside any Java home comes first and is passed over.
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
    harness::RunOptions options;
    options.directory = control;
    options.environment["PATH"] = launchers + ":" + harness::JavaHome() + "/bin";

    harness::RunResult result = Install({"-cp", harness::JavaClasses(), "LongRunning", control}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
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
    EXPECT_NE(result.err.find("A library that the Java runtime library " + needy +
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

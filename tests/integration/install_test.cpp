/* /install as a user runs it: the probe VM's verdicts, the stored values, the
 * settings report and a reinstall. */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "harness.h"

extern char **environ;

namespace {

const char kService[] = "InstallSvc";
const char kServiceKey[] = "System\\CurrentControlSet\\Services\\InstallSvc";

harness::RunResult Install(const std::vector<std::string> &words, harness::RunOptions options = {}) {
    std::vector<std::string> arguments = {kService, "/install"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    options.unset.push_back("CLASSPATH");
    options.unset.push_back("JAVA_HOME");
    return harness::RunPelorim(arguments, options);
}

std::string Stored(const char *name) {
    auto value = harness::RegistryGet(kServiceKey, name);
    if (!value) return "<absent>";
    std::string text = value->data;
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

std::vector<std::string> StoredList(const char *name) {
    auto value = harness::RegistryGet(kServiceKey, name);
    return value ? harness::SplitMultiString(value->data) : std::vector<std::string>{"<absent>"};
}

long long StoredNumber(const char *name) {
    auto value = harness::RegistryGet(kServiceKey, name);
    if (!value || value->data.size() != 4) return -999999;
    int32_t number;
    memcpy(&number, value->data.data(), 4);
    return number;
}

bool ServiceExists() { return harness::RegistryGet(kServiceKey, "ImagePath").has_value(); }

std::string Classes() { return harness::JavaClasses(); }

/* The latest settings report. */
std::string Report() {
    std::string report;
    for (const harness::EventRecord &record : harness::EventLog())
        if (record.message.rfind(std::string(kService) + " installed.", 0) == 0) report = record.message;
    return report;
}

std::string RealLibjvm() { return harness::JavaHome() + "/lib/server/libjvm.so"; }

TEST(Install, AMainClassWithOptionsAndArgumentsIsStoredAsTyped) {
    harness::MakeFreshRoot();
    std::string cwd = harness::MakeTempDirectory("pelorim-cwd");
    harness::RunOptions options;
    options.directory = cwd;
    options.environment["PELORIM_INSTALL_MARK"] = "a=b c";
    /* The installing user's own: not stored (names in any case). */
    options.environment["TEMP"] = "/home/installer/tmp";
    options.environment["Tmp"] = "/home/installer/tmp";
    options.environment["USERPROFILE"] = "/home/installer";
    options.environment["JAVA_HOME"] = harness::JavaHome();
    harness::RunResult result = Install(
        {"-Xmx64m", "-Dx=y", "-Ddb.password=hunter2", "-cp", Classes(), "LongRunning", "a", "b c", "-verbose", "/quiet"},
        options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("InstallSvc installed.\n"), std::string::npos) << result.out;
    EXPECT_EQ(StoredList("JavaOptions"), (std::vector<std::string>{"-Xmx64m", "-Dx=y", "-Ddb.password=hunter2",
                                                                   "-Djava.class.path=" + Classes()}));
    EXPECT_EQ(Stored("JavaMainClass"), "LongRunning");
    EXPECT_EQ(Stored("JavaArchive"), "<absent>");
    EXPECT_EQ(StoredList("JavaArgs"), (std::vector<std::string>{"a", "b c", "-verbose", "/quiet"}));
    EXPECT_EQ(Stored("CurrentDirectory"), cwd);
    /* Words after the main class are never switches. */
    EXPECT_EQ(Stored("EventLogging"), "<absent>");
    for (const char *absent : {"Description", "StartupMethod", "ShutdownMethod", "ShutdownCommand", "Priority",
                               "Timeout", "DebugLevel", "LogFile", "CreateProcess", "JavaHome", "JVMType",
                               "JNILibrary"})
        EXPECT_EQ(Stored(absent), "<absent>") << absent;

    /* The environment the installing process received, nothing more, less
     * the user's own variables; the application's own and JAVA_HOME are kept.
     * (This process's environment may hold more of the user's own, as a
     * USERNAME of a desktop session: only those set here are asserted.) */
    std::vector<std::string> stored = StoredList("Environment");
    std::set<std::string> received;
    for (char **variable = environ; *variable != nullptr; variable++) {
        std::string text = *variable;
        if (text.rfind("CLASSPATH=", 0) != 0 && text.rfind("JAVA_HOME=", 0) != 0) received.insert(text);
    }
    received.insert("PELORIM_INSTALL_MARK=a=b c");
    received.insert("JAVA_HOME=" + harness::JavaHome());
    std::set<std::string> kept(stored.begin(), stored.end());
    EXPECT_EQ(stored.size(), kept.size());
    for (const std::string &variable : kept) EXPECT_EQ(received.count(variable), 1u) << variable;
    for (const std::string &variable :
         {std::string("PELORIM_INSTALL_MARK=a=b c"), "JAVA_HOME=" + harness::JavaHome(), "PATH=" + std::string(getenv("PATH"))})
        EXPECT_EQ(kept.count(variable), 1u) << variable;
    for (const char *dropped : {"TEMP=", "Tmp=", "USERPROFILE="})
        for (const std::string &variable : kept) EXPECT_NE(variable.rfind(dropped, 0), 0u) << variable;

    /* The key holding them is closed to all but SYSTEM, Administrators and
     * the service's own SID (Windows' SHA-1 derivation for "INSTALLSVC"),
     * which the service's token holds with the SID type unrestricted. */
    EXPECT_EQ(StoredNumber("ServiceSidType"), 1); /* SERVICE_SID_TYPE_UNRESTRICTED */
    EXPECT_EQ(harness::DescribeKeySecurity(kServiceKey),
              "O:S-1-5-32-544G:S-1-5-18D:P(A;0x2;0xf003f;S-1-5-18)(A;0x2;0xf003f;S-1-5-32-544)(A;0x2;0x20019;"
              "S-1-5-80-2216425512-2697857773-3194330831-1781571176-2447450384)");

    std::string report = Report();
    EXPECT_NE(report.find("InstallSvc installed.\r\nCurrent Directory: " + cwd + "\r\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("\r\nJava Options:\r\n\t-Xmx64m\r\n\t-Dx=y\r\n\t-Ddb.password=***\r\n"
                          "\t-Djava.class.path=" + Classes() +
                          "\r\nJava Main Class: LongRunning\r\nJava Program Arguments:\r\n\ta\r\n\tb c\r\n"
                          "\t-verbose\r\n\t/quiet"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("\r\nJVM Runtime Library Path: /usr/lib/jvm/"), std::string::npos) << report;
}

TEST(Install, AnArchiveIsStoredAsJavaArchiveWithOrWithoutAClassPathBeforeIt) {
    harness::MakeFreshRoot();
    std::string jar = harness::JavaJar("long-running");
    harness::RunResult result = Install({"-jar", jar, "x"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Stored("JavaArchive"), jar);
    EXPECT_EQ(Stored("JavaMainClass"), "<absent>");
    EXPECT_EQ(StoredList("JavaArgs"), std::vector<std::string>{"x"});
    EXPECT_EQ(Stored("JavaOptions"), "<absent>");
    EXPECT_NE(Report().find("\r\nJava Archive: " + jar), std::string::npos) << Report();

    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(harness::RegistryValueNames(kServiceKey).size(), 0u);
    /* A class path that lacks the main class: the archive's comes last and wins. */
    result = Install({"-cp", "/nonexistent", "-jar", harness::JavaJar("packaged")});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(StoredList("JavaOptions"), std::vector<std::string>{"-Djava.class.path=/nonexistent"});
    EXPECT_EQ(Stored("JavaArchive"), harness::JavaJar("packaged"));
    EXPECT_EQ(Stored("JavaArgs"), "<absent>");
}

TEST(Install, ALeadingTypeListedInJvmCfgIsStoredAsJvmType) {
    harness::MakeFreshRoot();
    /* Only a search of a Java home reads jvm.cfg. */
    harness::RunResult result =
        Install({"/javahome:" + harness::JavaHome(), "-server", "-cp", Classes(), "LongRunning"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Stored("JVMType"), "-server");
    EXPECT_EQ(StoredList("JavaOptions"), std::vector<std::string>{"-Djava.class.path=" + Classes()});
    EXPECT_NE(Report().find("\r\nJVM Type: -server\r\n"), std::string::npos) << Report();
}

/* No jvm.cfg is read, so -server goes to the probe VM as an option, which
 * HotSpot's invocation interface does not know. */
TEST(Install, WithARuntimeLibraryALeadingTypeIsAnOrdinaryOption) {
    harness::MakeFreshRoot();
    harness::RunResult result =
        Install({"/runtimelib:" + RealLibjvm(), "-server", "-cp", Classes(), "LongRunning"});
    EXPECT_EQ(result.exitCode, 3) << result.err;
    EXPECT_NE(result.err.find("Unrecognized option: -server\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Could not create the Java virtual machine"), std::string::npos) << result.err;
    EXPECT_FALSE(ServiceExists());

    result = Install({"/runtimelib:" + RealLibjvm(), "-Xss2m", "-cp", Classes(), "LongRunning"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Stored("JVMType"), "<absent>");
    EXPECT_EQ(StoredList("JavaOptions"), (std::vector<std::string>{"-Xss2m", "-Djava.class.path=" + Classes()}));
    EXPECT_EQ(Stored("JNILibrary"), RealLibjvm());
}

TEST(Install, TheWordAfterClassPathIsTheClassPathWhateverItsForm) {
    harness::MakeFreshRoot();
    std::string cwd = harness::MakeTempDirectory("pelorim-cwd");
    ASSERT_EQ(symlink(Classes().c_str(), (cwd + "/-foo").c_str()), 0);
    harness::RunOptions options;
    options.directory = cwd;
    harness::RunResult result = Install({"-cp", "-foo", "LongRunning"}, options);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(StoredList("JavaOptions"), std::vector<std::string>{"-Djava.class.path=-foo"});
}

TEST(Install, EverySwitchIsStoredUnderItsValue) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("pelorim-cwd");
    harness::RunResult result =
        Install({"/quiet", "/detach", "/priority:high", "/desc:The test service", "/cwd:" + directory, "/startup",
                 "/shutdown:stopNow", "/shutdownCommand:/bin/true now", "/javahome:" + harness::JavaHome(),
                 "/timeout:-5", "/debug:0", "/logfile:" + directory + "/svc.log", "-cp", Classes(),
                 "org.pelorim.test.PackagedMain"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(StoredNumber("EventLogging"), 0);
    EXPECT_EQ(StoredNumber("CreateProcess"), 1);
    EXPECT_EQ(StoredNumber("Priority"), 128);
    EXPECT_EQ(Stored("Description"), "The test service");
    EXPECT_EQ(Stored("CurrentDirectory"), directory);
    EXPECT_EQ(Stored("StartupMethod"), "startup");
    EXPECT_EQ(Stored("ShutdownMethod"), "stopNow");
    EXPECT_EQ(Stored("ShutdownCommand"), "/bin/true now");
    EXPECT_EQ(Stored("JavaHome"), harness::JavaHome());
    EXPECT_EQ(StoredNumber("Timeout"), -5);
    EXPECT_EQ(StoredNumber("PreshutdownTimeout"), 20000);
    EXPECT_EQ(Stored("DebugLevel"), "<absent>");
    EXPECT_EQ(Stored("LogFile"), directory + "/svc.log");
    EXPECT_EQ(Stored("JavaMainClass"), "org.pelorim.test.PackagedMain");
    /* Written one after the other in a fixed order, after the controller's own values. */
    std::vector<std::string> order;
    for (const auto &row : harness::Query("SELECT v.name FROM registry_values v JOIN registry_keys k ON k.id = v.key "
                                          "WHERE k.path = '" + std::string(kServiceKey) + "' ORDER BY v.rowid"))
        order.push_back(row[0]);
    std::vector<std::string> written(std::find(order.begin(), order.end(), "Environment"), order.end());
    EXPECT_EQ(written, (std::vector<std::string>{"Environment", "Description", "CurrentDirectory", "StartupMethod",
                                                 "ShutdownMethod", "ShutdownCommand", "Priority", "Timeout",
                                                 "LogFile", "EventLogging", "CreateProcess", "JavaHome", "JavaOptions",
                                                 "JavaMainClass"}));

    std::string report = Report();
    EXPECT_NE(report.find("\r\nCurrent Directory: " + directory + "\r\nStartup Method: startup\r\n"
                          "Shutdown Method: stopNow\r\nShutdown Command: /bin/true now\r\nTimeout: -5\r\n"
                          "Log File: " + directory + "/svc.log\r\nNo Event Logging\r\nPriority: high\r\n"
                          "Init JVM in Separate Process\r\nJava Home Path: " + harness::JavaHome() + "\r\n"),
              std::string::npos)
        << report;
}

/* The preshutdown time-out (where the controller keeps it) is the whole limit
 * of a stop: Timeout (30000 without one) and 20 s for the forced end. */
TEST(Install, ZeroTimeoutAndDebugLevelAreNotStoredButPositiveOnesAre) {
    harness::MakeFreshRoot();
    ASSERT_EQ(Install({"/timeout:0", "/debug:0", "-cp", Classes(), "LongRunning"}).exitCode, 0);
    EXPECT_EQ(Stored("Timeout"), "<absent>");
    EXPECT_EQ(Stored("DebugLevel"), "<absent>");
    EXPECT_EQ(StoredNumber("PreshutdownTimeout"), 50000);
    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    ASSERT_EQ(Install({"/timeout:45000", "/debug:2", "-cp", Classes(), "LongRunning"}).exitCode, 0);
    EXPECT_EQ(StoredNumber("Timeout"), 45000);
    EXPECT_EQ(StoredNumber("PreshutdownTimeout"), 65000);
    EXPECT_EQ(StoredNumber("DebugLevel"), 2);
    EXPECT_NE(Report().find("\r\nTimeout: 45000\r\nDebug Output Level: 2\r\n"), std::string::npos) << Report();
    /* A level beyond 32 bits is read once: the install runs at the level it stores. */
    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    ASSERT_EQ(Install({"/debug:4294967298", "-cp", Classes(), "LongRunning"}).exitCode, 0);
    EXPECT_EQ(StoredNumber("DebugLevel"), 2147483647);
}

struct Refusal {
    std::vector<std::string> words;
    int exitCode;
    std::string message;
};

TEST(Install, TheProbeRefusesWhatTheServiceCouldNotRunAndLeavesNoService) {
    harness::MakeFreshRoot();
    std::vector<Refusal> refusals = {
        {{"-Xbogus", "-cp", Classes(), "LongRunning"}, 3, "Could not create the Java virtual machine\n"},
        /* Refused by the virtual machine after it took its options, while it is created. */
        {{"--add-opens=", "-cp", Classes(), "LongRunning"}, 3, "Could not create the Java virtual machine\n"},
        {{"--add-modules=no.such.module", "-cp", Classes(), "LongRunning"}, 3,
         "Could not create the Java virtual machine\n"},
        {{"-Xmx1k", "-cp", Classes(), "LongRunning"}, 3, "Could not create the Java virtual machine\n"},
        {{"-cp", Classes(), "NoMain"}, 5, "No main method found in class NoMain\n"},
        /* A negative level is not stored, and does not hide the install's errors either. */
        {{"/debug:-1", "-cp", Classes(), "NoMain"}, 5, "No main method found in class NoMain\n"},
        {{"-cp", Classes(), "org.pelorim.test.Missing"}, 4, "Main class not found: org.pelorim.test.Missing\n"},
        {{"-cp", Classes(), "org/pelorim/test/PackagedMain"}, 0, ""},
        {{"-jar", harness::JavaJar("no-main-class")},
         2,
         "Failed to load Main-Class manifest attribute from " + harness::JavaJar("no-main-class") + "\n"},
        {{"-jar", "/nonexistent/app.jar"}, 2, "Failed to load Main-Class manifest attribute from /nonexistent/app.jar\n"},
        {{"-Xmx64m", "-cp"}, 8, "-cp requires class path specification\n"},
        {{"-Xmx64m", "-jar"}, 8, "main class or jar file not specified\n"},
        {{}, 8, "main class or jar file not specified\n"},
        {{"-cp", Classes(), "LongRunning", "a", "", "c"},
         8,
         "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n"},
        {{"/depend:A", "/depend:", "/depend:B", "-cp", Classes(), "LongRunning"},
         8,
         "Empty /depend: cannot be stored; remove it or give it a service name\n"},
        {{"/javahome:/" + std::string(300, 'j'), "-cp", Classes(), "LongRunning"},
         8,
         "The value of /javahome: is longer than the 259 characters it can hold; nothing is installed\n"},
        /* A stop puts "CMD.EXE /C " before a command that names no executable image. */
        {{"/shutdownCommand:" + std::string(32760, 'x'), "-cp", Classes(), "LongRunning"},
         8,
         "The value of /shutdownCommand: is longer than the 32755 characters a command run through CMD.EXE /C can "
         "hold; nothing is installed\n"},
        {{"/shutdownCommand:/bin/true " + std::string(32756, 'x'), "-cp", Classes(), "LongRunning"}, 0, ""},
    };
    for (const Refusal &refusal : refusals) {
        SCOPED_TRACE(refusal.words.empty() ? "(empty)" : refusal.words.back());
        harness::RunResult result = Install(refusal.words);
        EXPECT_EQ(result.exitCode, refusal.exitCode) << result.err;
        EXPECT_NE(result.err.find(refusal.message), std::string::npos) << result.err;
        EXPECT_EQ(ServiceExists(), refusal.exitCode == 0);
        if (refusal.exitCode == 0) {
            ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
        }
    }
}

/* A copy of the program whose real path is longer than the kernel can give
 * (PATH_MAX), reached through two short symbolic links. */
std::string CopyIntoTooDeepDirectory() {
    std::string base = harness::MakeTempDirectory("pelorim-deep");
    std::string level(200, 'd'), firstHop, secondHop;
    int directory = open(base.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    int middle = -1;
    for (int depth = 0; depth < 24; depth++) {
        EXPECT_EQ(mkdirat(directory, level.c_str(), 0755), 0);
        int next = openat(directory, level.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        if (depth == 11) middle = dup(next);
        close(directory);
        directory = next;
        (depth < 12 ? firstHop : secondHop) += level + "/";
    }
    std::string image = harness::ReadText(harness::PelorimExe());
    int copy = openat(directory, "pelorim", O_CREAT | O_WRONLY | O_CLOEXEC, 0755);
    EXPECT_EQ(write(copy, image.data(), image.size()), (ssize_t)image.size());
    close(copy);
    EXPECT_EQ(symlinkat(secondHop.c_str(), middle, "second"), 0);
    EXPECT_EQ(symlink(firstHop.c_str(), (base + "/first").c_str()), 0);
    close(middle);
    close(directory);
    return base + "/first/second/pelorim";
}

/* The service's command line must name this very file, or nothing is installed. */
TEST(Install, AProgramThatNoCommandLineCanNameIsRefusedBeforeAnythingIsCreated) {
    harness::MakeFreshRoot();
    std::vector<std::string> words = {kService, "/install", "-cp", Classes(), "LongRunning"};
    harness::RunResult result = harness::Run(CopyIntoTooDeepDirectory(), words);
    EXPECT_EQ(result.exitCode, 9) << result.err;
    EXPECT_NE(result.err.find("GetModuleFileName: "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("Cannot install: the full path of this program cannot be obtained"), std::string::npos)
        << result.err;
    EXPECT_FALSE(ServiceExists());

    std::string quoted = harness::MakeTempDirectory("pelorim-quote") + "/say \"hi\"";
    ASSERT_EQ(mkdir(quoted.c_str(), 0755), 0);
    harness::WriteText(quoted + "/pelorim", harness::ReadText(harness::PelorimExe()));
    ASSERT_EQ(chmod((quoted + "/pelorim").c_str(), 0755), 0);
    result = harness::Run(quoted + "/pelorim", words);
    EXPECT_EQ(result.exitCode, 9) << result.err;
    EXPECT_NE(result.err.find("a command line cannot name a program whose path holds a double quote: " + quoted),
              std::string::npos)
        << result.err;
    EXPECT_FALSE(ServiceExists());
}

/* Names and directories a service could never run with are refused before
 * the probe, and nothing is created; a log file that cannot be written is only
 * warned about. */
TEST(Install, WhatCouldNeverRunIsRefusedBeforeAnythingIsCreated) {
    harness::MakeFreshRoot();
    std::string directory = harness::MakeTempDirectory("install");
    struct NameRefusal {
        std::string name, message;
    };
    std::vector<NameRefusal> names = {
        {std::string(300, 'L'), "longer than 255 characters"},
        {std::string(250, 'M'), "kernel objects cannot be named after it"},
        {"a\"b", "must not contain"},
        {"a/b", "must not contain"},
        {"a\\b", "must not contain"},
        {"/name:-dash", "must not begin with \"-\""},
    };
    for (const NameRefusal &refusal : names) {
        SCOPED_TRACE(refusal.name.substr(0, 20));
        harness::RunOptions options;
        options.directory = directory;
        std::vector<std::string> arguments = {refusal.name, "/install", "-cp", Classes(), "LongRunning"};
        if (refusal.name[0] == '/') arguments.insert(arguments.begin(), "Named");
        harness::RunResult result = harness::RunPelorim(arguments, options);
        EXPECT_EQ(result.exitCode, 8) << result.err;
        EXPECT_NE(result.err.find("cannot be installed: " + std::string()), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(refusal.message), std::string::npos) << result.err;
        std::string keyName = refusal.name[0] == '/' ? refusal.name.substr(6) : refusal.name.substr(0, 255);
        EXPECT_FALSE(harness::RegistryGet("System\\CurrentControlSet\\Services\\" + keyName, "ImagePath"));
    }

    harness::RunResult cwd = Install({"/cwd:" + directory + "/missing", "-cp", Classes(), "LongRunning"});
    EXPECT_EQ(cwd.exitCode, 8) << cwd.err;
    EXPECT_NE(cwd.err.find("Working directory cannot be entered: " + directory + "/missing\n"), std::string::npos)
        << cwd.err;
    EXPECT_FALSE(ServiceExists());

    std::string logFile = directory + "/absent/service.log";
    harness::RunResult log = Install({"/logfile:" + logFile, "-cp", Classes(), "LongRunning"});
    EXPECT_EQ(log.exitCode, 0) << log.err;
    EXPECT_NE(log.err.find("Warning: no log file can be written in directory " + directory + "/absent ("),
              std::string::npos)
        << log.err;
    EXPECT_TRUE(ServiceExists());
    EXPECT_EQ(Stored("LogFile"), logFile);
    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    harness::RunResult writable = Install({"/logfile:" + directory + "/service.log", "-cp", Classes(), "LongRunning"});
    EXPECT_EQ(writable.err.find("Warning"), std::string::npos) << writable.err;
    EXPECT_FALSE(harness::FileExists(directory + "/service.log"));
    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);

    /* A FIFO that nobody reads is no log file, as a directory is not: said at
     * once, without waiting for a reader. */
    std::string fifo = directory + "/fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    harness::RunOptions bounded;
    bounded.timeoutSeconds = 60;
    harness::RunResult piped = Install({"/logfile:" + fifo, "-cp", Classes(), "LongRunning"}, bounded);
    EXPECT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_NE(piped.err.find("Warning: no log file can be written in directory " + directory + " ("), std::string::npos)
        << piped.err;
}

TEST(Install, AFailedInstallIsNotStarted) {
    harness::MakeFreshRoot();
    harness::RunResult result = harness::RunPelorim({kService, "/install", "/start", "-cp", Classes(), "NoMain"});
    EXPECT_EQ(result.exitCode, 5) << result.err;
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(result.out.find("Starting"), std::string::npos) << result.out;
}

TEST(Install, UninstallRemovesTheValuesAndASecondInstallWorks) {
    harness::MakeFreshRoot();
    ASSERT_EQ(Install({"/desc:first", "-cp", Classes(), "LongRunning", "one"}).exitCode, 0);
    harness::RunResult again = Install({"-cp", Classes(), "LongRunning"});
    EXPECT_EQ(again.exitCode, 9) << again.err;
    EXPECT_EQ(StoredList("JavaArgs"), std::vector<std::string>{"one"});

    ASSERT_EQ(harness::RunPelorim({kService, "/uninstall"}).exitCode, 0);
    EXPECT_FALSE(ServiceExists());
    EXPECT_EQ(Stored("Description"), "<absent>");
    ASSERT_EQ(Install({"-cp", Classes(), "BackgroundWorker", "two"}).exitCode, 0);
    EXPECT_EQ(Stored("Description"), "<absent>");
    EXPECT_EQ(Stored("JavaMainClass"), "BackgroundWorker");
    EXPECT_EQ(StoredList("JavaArgs"), std::vector<std::string>{"two"});
}

} // namespace

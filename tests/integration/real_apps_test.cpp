// Real Java servers that nobody here wrote, run as Pelorim services the way
// their users run them: HSQLDB's network server and Jetty 9, from Debian's jars.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

const std::string javaShare = "/usr/share/java/";

bool HaveJars(const std::vector<std::string> &jars) {
    for (const auto &jar : jars)
        if (!FileExists(javaShare + jar)) return false;
    return true;
}

std::string ClassPath(const std::vector<std::string> &jars) {
    std::string path;
    for (const auto &jar : jars) path += (path.empty() ? "" : ":") + javaShare + jar;
    return path;
}

int FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&address, sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, (sockaddr *)&address, &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Whether the port can be bound again: the server released it.
bool PortFree(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool free = bind(fd, (sockaddr *)&address, sizeof address) == 0;
    close(fd);
    return free;
}

std::string HttpGet(int port, const std::string &path) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return "";
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (write(fd, request.data(), request.size()) != (ssize_t)request.size()) {
        close(fd);
        return "";
    }
    std::string response;
    char buffer[4096];
    ssize_t n;
    struct timeval timeout = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    while ((n = read(fd, buffer, sizeof buffer)) > 0) response.append(buffer, (size_t)n);
    close(fd);
    return response;
}

// Processes whose command line names the pelorim executable and the service.
std::vector<int> ServiceProcesses(const std::string &service) {
    std::vector<int> pids;
    DIR *proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent *entry = readdir(proc)) {
        int pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        std::string cmdline = ReadText("/proc/" + std::string(entry->d_name) + "/cmdline");
        for (char &c : cmdline)
            if (c == '\0') c = ' ';
        if (cmdline.find(PelorimExe()) != std::string::npos && cmdline.find(" " + service + " ") != std::string::npos)
            pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

std::string JavaExe() { return JavaHome() + "/bin/java"; }

class RealApps : public ::testing::Test {
  protected:
    void SetUp() override {
        MakeFreshRoot();
        work = MakeTempDirectory("pelorim-realapp");
    }

    void TearDown() override {
        // Never leave a server behind, whatever failed.
        RunPelorim({service, "/uninstall"}, Options());
        for (int pid : ServiceProcesses(service)) kill(pid, SIGKILL);
    }

    RunOptions Options() const {
        RunOptions options;
        options.directory = work;
        return options;
    }

    void ExpectStarts() {
        RunResult start = RunPelorim({service, "/start"}, Options());
        ASSERT_EQ(0, start.exitCode) << start.out << start.err << LogText();
        ASSERT_NE(std::string::npos, start.out.find(service + " started.")) << start.out << start.err;
        auto status = ServiceStatus(service);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(4u, status->state);
    }

    void ExpectStops() {
        RunResult stop = RunPelorim({service, "/stop"}, Options());
        EXPECT_EQ(0, stop.exitCode) << stop.out << stop.err << LogText();
        EXPECT_NE(std::string::npos, stop.out.find(service + " stopped.")) << stop.out << stop.err;
    }

    void ExpectGoneAfterUninstall(int port) {
        RunResult uninstall = RunPelorim({service, "/uninstall"}, Options());
        EXPECT_EQ(0, uninstall.exitCode) << uninstall.out << uninstall.err;
        EXPECT_TRUE(WaitFor([&] { return PortFree(port); }, 30)) << "port " << port << " still taken";
        EXPECT_TRUE(WaitFor([&] { return ServiceProcesses(service).empty(); }, 30))
            << "a process of " << service << " is still running";
    }

    std::string LogText() const { return ReadText(work + "/" + service + "_Event.log"); }

    std::string service;
    std::string work;
};

TEST_F(RealApps, HsqldbKeepsItsRowsAcrossStopsByCommandAndBySystemExit) {
    if (!HaveJars({"hsqldb.jar"})) GTEST_SKIP() << "libhsqldb-java is not installed";
    service = "HsqlDb";
    int port = FreeLoopbackPort();
    std::string url = "jdbc:hsqldb:hsql://127.0.0.1:" + std::to_string(port) + "/test";
    std::string clientPath = ClassPath({"hsqldb.jar"}) + ":" + PELORIM_REALAPPS_CLASSES;
    std::vector<std::string> server = {"-cp",       ClassPath({"hsqldb.jar"}), "org.hsqldb.server.Server",
                                       "--address", "127.0.0.1",               "--port",
                                       std::to_string(port), "--database.0", "file:" + work + "/db/test",
                                       "--dbname.0", "test"};
    auto client = [&](const std::vector<std::string> &statements) {
        std::vector<std::string> arguments = {"-cp", clientPath, "HsqlClient", url};
        arguments.insert(arguments.end(), statements.begin(), statements.end());
        return harness::Run(JavaExe(), arguments);
    };

    // First run: stopped by a shutdown command that sends SHUTDOWN through the client.
    std::string shutdownCommand = JavaExe() + " -cp " + clientPath + " HsqlClient " + url + " SHUTDOWN";
    // /debug:2 puts the stop's Info lines in the log next to the server's output.
    std::vector<std::string> install = {service, "/install", "/logfile", "/debug:2", "/shutdownCommand:" + shutdownCommand};
    install.insert(install.end(), server.begin(), server.end());
    RunResult installed = RunPelorim(install, Options());
    ASSERT_EQ(0, installed.exitCode) << installed.out << installed.err;
    // A bare connect would make the server log a broken handshake; ask it something instead.
    auto serverAnswers = [&] { return client({"VALUES 1"}).exitCode == 0; };
    ExpectStarts();
    ASSERT_TRUE(WaitFor(serverAnswers, 60)) << LogText();

    RunResult created = client({"CREATE TABLE cities (name VARCHAR(40))", "INSERT INTO cities VALUES ('Lisbon')",
                                "INSERT INTO cities VALUES ('Oslo')"});
    ASSERT_EQ(0, created.exitCode) << created.err;

    ExpectStops();
    EXPECT_TRUE(WaitFor([&] { return PortFree(port); }, 30));
    std::string log = LogText();
    EXPECT_NE(std::string::npos, log.find("Launching Shutdown Command:")) << log;
    EXPECT_NE(std::string::npos, log.find("INFO: [Server@")) << "the server's own output belongs in the log:\n" << log;
    RunResult removed = RunPelorim({service, "/uninstall"}, Options());
    ASSERT_EQ(0, removed.exitCode) << removed.err;

    // Second run on the same files: no shutdown command, so System.exit(0) ends it.
    install = {service, "/install", "/logfile", "/debug:2"};
    install.insert(install.end(), server.begin(), server.end());
    installed = RunPelorim(install, Options());
    ASSERT_EQ(0, installed.exitCode) << installed.out << installed.err;
    ExpectStarts();
    ASSERT_TRUE(WaitFor(serverAnswers, 60)) << LogText();
    RunResult rows = client({"SELECT name FROM cities ORDER BY name"});
    EXPECT_EQ(0, rows.exitCode) << rows.err;
    EXPECT_EQ("Lisbon\nOslo\n", rows.out);
    ExpectStops();
    EXPECT_NE(std::string::npos, LogText().find("Invoking System.exit(0)")) << LogText();
    EXPECT_EQ(std::string::npos, LogText().find("ERROR: ")) << LogText();

    ExpectGoneAfterUninstall(port);
}

class JettyTest : public RealApps {
  protected:
    const std::vector<std::string> jars = {"jetty9-server.jar", "jetty9-util.jar", "jetty9-http.jar",
                                           "jetty9-io.jar",     "jetty9-xml.jar",  "servlet-api.jar"};

    void WriteSite() {
        mkdir((work + "/site").c_str(), 0755);
        WriteText(work + "/site/index.html", "<html><body>Served by Jetty under Pelorim</body></html>\n");
    }

    // jetty.xml as the package's XmlConfiguration reads it: a loopback
    // connector and a handler for the site's files.
    void WriteJettyXml(int port) {
        WriteText(work + "/jetty.xml",
                  "<?xml version=\"1.0\"?>\n"
                  "<!DOCTYPE Configure PUBLIC \"-//Jetty//Configure//EN\" "
                  "\"http://www.eclipse.org/jetty/configure_9_3.dtd\">\n"
                  "<Configure id=\"Server\" class=\"org.eclipse.jetty.server.Server\">\n"
                  "  <Call name=\"addConnector\"><Arg>\n"
                  "    <New class=\"org.eclipse.jetty.server.ServerConnector\">\n"
                  "      <Arg><Ref refid=\"Server\"/></Arg>\n"
                  "      <Set name=\"host\">127.0.0.1</Set>\n"
                  "      <Set name=\"port\">" + std::to_string(port) + "</Set>\n"
                  "    </New>\n"
                  "  </Arg></Call>\n"
                  "  <Set name=\"handler\">\n"
                  "    <New class=\"org.eclipse.jetty.server.handler.ResourceHandler\">\n"
                  "      <Set name=\"resourceBase\">" + work + "/site</Set>\n"
                  "    </New>\n"
                  "  </Set>\n"
                  "</Configure>\n");
    }

    void RunJetty(bool detach) {
        if (!HaveJars(jars)) GTEST_SKIP() << "libjetty9-java is not installed";
        int port = FreeLoopbackPort();
        WriteSite();
        WriteJettyXml(port);
        std::vector<std::string> install = {service, "/install", "/logfile"};
        if (detach) install.push_back("/detach");
        for (const std::string &word : {std::string("-cp"), ClassPath(jars),
                                        std::string("org.eclipse.jetty.xml.XmlConfiguration"), work + "/jetty.xml"})
            install.push_back(word);
        RunResult installed = RunPelorim(install, Options());
        ASSERT_EQ(0, installed.exitCode) << installed.out << installed.err;
        ExpectStarts();
        ASSERT_TRUE(WaitFor([&] { return PortAnswers(port); }, 30)) << LogText();
        std::string page = HttpGet(port, "/index.html");
        EXPECT_NE(std::string::npos, page.find("200 OK")) << page;
        EXPECT_NE(std::string::npos, page.find("Served by Jetty under Pelorim")) << page;
        ExpectStops();
        EXPECT_TRUE(WaitFor([&] { return PortFree(port); }, 30)) << "the port is still taken after /stop";
        ExpectGoneAfterUninstall(port);
    }
};

TEST_F(JettyTest, ServesAPageAndReleasesItsPort) {
    service = "Jetty";
    RunJetty(false);
}

TEST_F(JettyTest, ServesAPageAndReleasesItsPortWhenDetached) {
    service = "JettyDetached";
    RunJetty(true);
}

TEST_F(JettyTest, ReportsRunningOnlyOnceThePortAnswers) {
    if (!HaveJars(jars)) GTEST_SKIP() << "libjetty9-java is not installed";
    service = "JettyLauncher";
    int port = FreeLoopbackPort();
    WriteSite();
    RunResult installed = RunPelorim({service, "/install", "/logfile", "/startup:starting", "/shutdown:stop", "-cp",
                                      ClassPath(jars) + ":" + PELORIM_REALAPPS_CLASSES, "JettyLauncher",
                                      std::to_string(port), work + "/site"},
                                     Options());
    ASSERT_EQ(0, installed.exitCode) << installed.out << installed.err;
    ExpectStarts();
    // RUNNING came from the start-up method, which answers false only once the port listens.
    EXPECT_TRUE(PortAnswers(port)) << LogText();
    EXPECT_NE(std::string::npos, HttpGet(port, "/index.html").find("Served by Jetty under Pelorim"));
    ExpectStops();
    EXPECT_NE(std::string::npos, LogText().find("JettyLauncher: stopping")) << LogText();
    EXPECT_TRUE(WaitFor([&] { return PortFree(port); }, 30));
    ExpectGoneAfterUninstall(port);
}

} // namespace

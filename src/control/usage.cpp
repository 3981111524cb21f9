#include <stdio.h>
#include <string.h>

#include "common/guard.h"
#include "control/commandline.h"
#include "control/control.h"
#include "control/stringlist.h"
#include "host.h"

char *BannerText(void) { return DuplicateOrExit("Pelorim 1.3c Java Wrapper for NT Service\r\n\r\n"); }

char *FileBaseName(const char *path, size_t capacity) {
    const char *separator = strrchr(path, hostPathSeparator);
    const char *name = separator != nullptr ? separator + 1 : path;
    size_t length = strlen(name);
    if (capacity > 0 && length > capacity - 1) length = capacity - 1;
    char *baseName = static_cast<char *>(AllocateOrExit(length + 1));
    memcpy(baseName, name, length);
    baseName[length] = '\0';
    char *dot = strrchr(baseName, '.');
    if (dot != nullptr) *dot = '\0';
    return baseName;
}

int IsWindowsNT(void) {
    OSVERSIONINFOA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    return GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

static const char *const usageLines[] = {
    "       command:\n",
    "       /help                      print this information\n",
    "       /install                   install the service\n",
    "       /start                     start the service\n",
    "       /stop                      stop the service\n",
    "       /uninstall                 remove the service\n",
    "       /cwd:<Directory>           working directory for the application\n",
    "       /desc:<Description>        service description for the Services applet\n",
    "       /automatic                 service startup type\n",
    "       /manual                    service startup type\n",
    "       /disabled                  service startup type\n",
    "       /depend:<ServiceName>      dependency information\n",
    "                                  multiple specifications allowed\n",
    "       /interact                  allow service to interact with the desktop\n",
    "       /priority:<priority>       priority: low | normal | high | realtime\n",
    "       /startup[:<MethodName>]    main class method for application startup\n",
    "       /shutdown[:<MethodName>]   main class method for application shutdown\n",
    "       /shutdownCommand:<Command> command line for application shutdown\n",
    "       /timeout:<TimeLimit>       time limit for java application start/stop\n",
    "       /debug:<Level>             debugging level:\n",
    "                                  0=errors only\n",
    "                                  1=with warnings\n",
    "                                  2=detailed\n",
    "       /logfile[:<Path>]          log file for logging events\n",
    "       /quiet                     prevents logging except for service operation\n",
    "       /detach                    launch java application in separate process\n",
    "       /runtimelib:<Path>         java runtime library\n",
    "       /javahome:<Directory>      java home directory\n",
};

/* The head names the running executable also when exePath is not filled in yet. */
void PrintUsage(void) {
    char exePath[260] = "";
    GetModuleFileNameA(nullptr, exePath, sizeof exePath);
    TextGuard baseName(FileBaseName(exePath, 256));
    if (EqualIgnoringCase(baseName.Get(), "pelorim"))
        fprintf(stderr, "Usage: %s <ServiceName> { <command> } <java command line>\n", baseName.Get());
    else
        fprintf(stderr, "Usage: %s [<ServiceName>] { <command> } <java command line>\n", baseName.Get());
    for (const char *line : usageLines) fputs(line, stderr);
    fflush(stderr);
}

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "control/commandline.h"
#include "control/control.h"
#include "host.h"

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

/* GetModuleFileNameA cuts a path that does not fit and returns the buffer's
 * size (with or without a NUL, by Windows version), so the buffer grows until
 * the result is shorter than it, up to the longest path Win32 knows. */
char *ModuleFilePath(void) {
    DWORD size = MAX_PATH;
    char *path = nullptr;
    for (;;) {
        path = static_cast<char *>(ReallocateOrExit(path, size));
        DWORD length = GetModuleFileNameA(nullptr, path, size);
        if (length > 0 && length < size) return path;
        if (length == 0) break;
        if (size == EXE_PATH_CAPACITY + 1) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            break;
        }
        size = size * 2 > EXE_PATH_CAPACITY + 1 ? EXE_PATH_CAPACITY + 1 : size * 2;
    }
    DWORD error = GetLastError();
    free(path);
    SetLastError(error);
    return nullptr;
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
    TextGuard exePath(ModuleFilePath());
    TextGuard baseName(FileBaseName(exePath ? exePath.Get() : "", 256));
    if (EqualIgnoringCase(baseName.Get(), "pelorim"))
        fprintf(stderr, "Usage: %s <ServiceName> { <command> } <java command line>\n", baseName.Get());
    else
        fprintf(stderr, "Usage: %s [<ServiceName>] { <command> } <java command line>\n", baseName.Get());
    for (const char *line : usageLines) fputs(line, stderr);
    fflush(stderr);
}

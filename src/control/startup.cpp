#include <stdio.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "config/params.h"
#include "control/commandline.h"
#include "control/control.h"
#include "host.h"
#include "log/log.h"
#include "runtime/runtime.h"
#include "scm/scm.h"

static void PrintBanner(void) {
    TextGuard banner(BannerText());
    WriteConsoleText(stdout, banner.Get());
    fflush(stdout);
}

/* A copy of the executable under another file name names its service. */
static void TakeServiceNameFromExecutable(void) {
    TextGuard baseName(FileBaseName(settings.exePath, NAME_CAPACITY + 1));
    if (!EqualIgnoringCase(baseName.Get(), "pelorim") && settings.serviceName[0] == '\0')
        CopyField(settings.serviceName, baseName.Get(), NAME_CAPACITY);
}

/* exePath stays empty when the path cannot be had in full; /install then
 * refuses, since the service's command line would name another file. */
static void FetchExecutablePath(void) {
    TextGuard path(ModuleFilePath());
    if (!path) {
        LogSystemError("GetModuleFileName", 0);
        return;
    }
    CopyField(settings.exePath, path.Get(), EXE_PATH_CAPACITY);
}

int CompleteSettings(void) {
    if (!settings.serviceMode) PrintBanner();
    if (!IsWindowsNT()) {
        fputs(MSG_NOT_WINDOWS_NT, stderr);
        return 9;
    }
    FetchExecutablePath();
    TakeServiceNameFromExecutable();
    if (settings.serviceName[0] == '\0') {
        fputs(MSG_SERVICE_NAME_NOT_SPECIFIED, stderr);
        PrintUsage();
        return 8;
    }
    BlankWhiteSpace(settings.serviceName);
    FormatCommandPrefix();
    return 0;
}

/* Each NAME=VALUE string is set; a string without "=" (never written by an
 * install) is skipped. Nothing is removed from the environment. */
static void ApplyStoredEnvironment(void) {
    TextGuard environment(ReadStringParameter(PARAMETER_ENVIRONMENT));
    if (!environment) return;
    for (char *entry = environment.Get(); *entry != '\0'; entry += strlen(entry) + 1) {
        char *equals = strchr(entry, '=');
        if (equals == nullptr) continue;
        *equals = '\0';
        SetEnvironmentVariableA(entry, equals + 1);
        *equals = '=';
    }
}

static void EnterDirectory(const char *directory) {
    if (!SetCurrentDirectoryA(directory)) NoteUnenteredDirectory(directory, GetLastError());
}

/* The stored directory wins over /cwd:, and stays in workingDirectory even
 * when it cannot be entered. An empty stored value counts as absent, so that
 * workingDirectory is never left empty. A directory that cannot be entered is
 * kept for UnenteredWorkingDirectory: whoever would run something there decides. */
static void ApplyWorkingDirectory(void) {
    TextGuard stored(ReadStringParameter(PARAMETER_CURRENT_DIRECTORY));
    if (stored && stored.Get()[0] != '\0') {
        CopyField(settings.workingDirectory, stored.Get(), LONG_PATH_CAPACITY);
        EnterDirectory(settings.workingDirectory);
        return;
    }
    if (settings.workingDirectory[0] != '\0') EnterDirectory(settings.workingDirectory);
    TextGuard current(static_cast<char *>(AllocateOrExit(LONG_PATH_CAPACITY + 1)));
    DWORD length = GetCurrentDirectoryA(LONG_PATH_CAPACITY + 1, current.Get());
    if (length > 0 && length <= LONG_PATH_CAPACITY) CopyField(settings.workingDirectory, current.Get(), LONG_PATH_CAPACITY);
}

/* Under /install the switch's value is parsed here, once, and is the value
 * the install stores. A level below 0, which would hide even errors, is not
 * stored, so the install runs at 0 as the service will. */
static void ApplyDebugLevel(const CommandLine *commandLine) {
    settings.debugLevel = ReadDwordParameter(PARAMETER_DEBUG_LEVEL);
    if (commandLine->install && settings.debugLevelText[0] != '\0') {
        int level = ParseDecimal(settings.debugLevelText);
        settings.debugLevel = level > 0 ? level : 0;
    }
}

/* The command line wins over the stored LogFile. A relative log file of a
 * service whose directory could not be entered would land wherever the process
 * was left: the service then logs to the event log. */
static void ApplyLogFile(const CommandLine *commandLine) {
    if (settings.logFilePath[0] == '\0' && commandLine->defaultLogFile) {
        TextGuard defaultPath(FormatText("%s_Event.log", settings.serviceName));
        CopyField(settings.logFilePath, defaultPath.Get(), LONG_PATH_CAPACITY);
    }
    TextGuard stored(ReadStringParameter(PARAMETER_LOG_FILE));
    if (stored && settings.logFilePath[0] == '\0') CopyField(settings.logFilePath, stored.Get(), LONG_PATH_CAPACITY);
    bool lostDirectory = settings.serviceMode && UnenteredWorkingDirectory(nullptr) != nullptr;
    if (lostDirectory && !HostIsAbsolutePath(settings.logFilePath)) settings.logFilePath[0] = '\0';
}

/* Only the service process writes the log file, so only it reads how large
 * the file may grow and how many old files a rotation keeps. */
static void ApplyLogRotation(void) {
    if (!settings.serviceMode) return;
    settings.logMaxSize = static_cast<DWORD>(ReadDwordParameter(PARAMETER_LOG_MAX_SIZE));
    settings.logKeep = static_cast<DWORD>(ReadDwordParameter(PARAMETER_LOG_KEEP));
}

void ApplyStartupSettings(const CommandLine *commandLine) {
    ApplyStoredEnvironment();
    ApplyWorkingDirectory();
    ApplyDebugLevel(commandLine);
    InitializeLog();
    ApplyLogFile(commandLine);
    if (!commandLine->install) {
        settings.eventLogging = ReadDwordParameter(PARAMETER_EVENT_LOGGING);
        settings.interactive = QueryInteractiveFlag();
        ApplyLogRotation();
    }
    InitializeServiceStatus();
}

#include "common/messages.h"
#include "common/settings.h"
#include "control/commandline.h"
#include "control/control.h"
#include "control/install_checks.h"
#include "log/log.h"
#include "runtime/runtime.h"
#include "scm/scm.h"

static int Conflict(const char *text) {
    LogError(text);
    return 8;
}

static int Install(const CommandLine *commandLine) {
    int result = CheckInstallRequest(commandLine);
    if (result != 0) return result;
    return InstallFromCommandLine(commandLine->javaArgc, commandLine->javaArgv, commandLine->environment);
}

static int InstallAndStart(const CommandLine *commandLine) {
    int result = Install(commandLine);
    if (result != 0) return result;
    return StartServiceAndWait();
}

/* The action flags decide; conflicting actions end with 8 and no usage text. */
static int DispatchAction(const CommandLine *commandLine) {
    if (commandLine->install && commandLine->uninstall) return Conflict(MSG_CONFLICT_INSTALL_UNINSTALL);
    if (commandLine->install && commandLine->stop) return Conflict(MSG_CONFLICT_INSTALL_STOP);
    if (commandLine->install && commandLine->start) return InstallAndStart(commandLine);
    if (commandLine->install) return Install(commandLine);
    if (commandLine->uninstall && commandLine->start) return Conflict(MSG_CONFLICT_START_UNINSTALL);
    if (commandLine->uninstall) return UninstallService();
    if (commandLine->start && commandLine->stop) return Conflict(MSG_CONFLICT_START_STOP);
    if (commandLine->start) return StartServiceAndWait();
    if (commandLine->stop) return StopServiceAndWait();
    LogError(MSG_NO_ACTION_SPECIFIED);
    PrintUsage();
    return 8;
}

int Dispatch(const CommandLine *commandLine) {
    if (settings.serviceMode) return RunServiceDispatcher();
    if (commandLine->subprocess) {
        int exitCode = 0;
        if (RunSubprocess(&exitCode)) return exitCode;
        LogMessage(MSG_SUBPROCESS_IGNORED, LOG_WARNING);
    }
    if (commandLine->help) {
        PrintUsage();
        return 0;
    }
    return DispatchAction(commandLine);
}

#include <stdio.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "control/commandline.h"
#include "control/control.h"
#include "log/log.h"

int RejectUnknownSwitch(const char *argument) {
    TextGuard banner(BannerText());
    WriteConsoleText(stdout, banner.Get());
    fflush(stdout);
    fprintf(stderr, MSG_UNKNOWN_COMMAND, argument);
    PrintUsage();
    return 8;
}

/* logLock is ready before anything can log: /depend: lookups already may. */
int RunProgram(int argc, char **argv, char **envp) {
    ResetServiceSettings();
    InitializeLog();
    CommandLine commandLine;
    ParseCommandLine(argc, argv, &commandLine);
    commandLine.environment = envp;
    if (commandLine.unknownSwitch != nullptr) return RejectUnknownSwitch(commandLine.unknownSwitch);
    int result = CompleteSettings();
    if (result != 0) return result;
    ApplyStartupSettings(&commandLine);
    return Dispatch(&commandLine);
}

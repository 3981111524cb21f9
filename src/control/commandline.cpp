#include "control/commandline.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "scm/scm.h"

/* The value after a prefix switch, or NULL when `argument` does not begin with it. */
static const char *PrefixValue(const char *argument, const char *prefix) {
    size_t length = strlen(prefix);
    return strncmp(argument, prefix, length) == 0 ? argument + length : nullptr;
}

/* A name that does not fit is cut, and the cut is remembered: /install refuses it. */
static void TakeServiceName(const char *name, CommandLine *commandLine) {
    CopyField(settings.serviceName, name, NAME_CAPACITY);
    commandLine->serviceNameCut = strlen(name) > NAME_CAPACITY;
}

/* A value that does not fit is cut, and the first cut is remembered: /install
 * refuses it rather than store another value than the one given. */
static void TakeValue(char *field, const char *value, size_t capacity, const char *switchText,
                      CommandLine *commandLine) {
    CopyField(field, value, capacity);
    if (strlen(value) <= capacity || commandLine->cutSwitch != nullptr) return;
    commandLine->cutSwitch = switchText;
    commandLine->cutCapacity = capacity;
}

/* An empty value is kept as it is, for /install to refuse. */
static void AddDependency(const char *name) {
    if (name[0] == '\0') {
        AddString(&settings.dependencies, name);
        return;
    }
    TextGuard keyName(FindServiceByDisplayName(name));
    AddString(&settings.dependencies, keyName ? keyName.Get() : name);
}

/* Unknown class names are ignored without a message. */
static void ParsePriorityClass(const char *name) {
    if (strcmp(name, "low") == 0) settings.priorityClass = 0x40;
    else if (strcmp(name, "normal") == 0) settings.priorityClass = 0x20;
    else if (strcmp(name, "high") == 0) settings.priorityClass = 0x80;
    else if (strcmp(name, "realtime") == 0) settings.priorityClass = 0x100;
}

static bool ParseFlagSwitch(const char *argument, CommandLine *commandLine) {
    struct FlagSwitch {
        const char *text;
        int *flag;
    };
    const FlagSwitch flags[] = {
        {"/service", &settings.serviceMode}, {"/subprocess", &commandLine->subprocess},
        {"/help", &commandLine->help},       {"/install", &commandLine->install},
        {"/start", &commandLine->start},     {"/stop", &commandLine->stop},
        {"/uninstall", &commandLine->uninstall},
    };
    for (const FlagSwitch &entry : flags) {
        if (strcmp(argument, entry.text) == 0) {
            *entry.flag = 1;
            return true;
        }
    }
    return false;
}

/* The switches from "/name:" on, in the order of the switch table. */
static bool ParseSettingSwitch(const char *argument, CommandLine *commandLine) {
    const char *value;
    if ((value = PrefixValue(argument, "/name:"))) TakeServiceName(value, commandLine);
    else if ((value = PrefixValue(argument, "/desc:"))) CopyField(settings.description, value, NAME_CAPACITY);
    else if (strcmp(argument, "/automatic") == 0) settings.startType = START_AUTOMATIC;
    else if (strcmp(argument, "/manual") == 0) settings.startType = START_MANUAL;
    else if (strcmp(argument, "/disabled") == 0) settings.startType = START_DISABLED;
    else if ((value = PrefixValue(argument, "/depend:"))) AddDependency(value);
    else if (strcmp(argument, "/interact") == 0) settings.interactive = 1;
    else if ((value = PrefixValue(argument, "/priority:"))) ParsePriorityClass(value);
    else if ((value = PrefixValue(argument, "/timeout:"))) CopyField(settings.timeoutText, value, TIMEOUT_TEXT_CAPACITY);
    else if ((value = PrefixValue(argument, "/debug:"))) CopyField(settings.debugLevelText, value, DEBUG_TEXT_CAPACITY);
    else if (strcmp(argument, "/logfile") == 0) commandLine->defaultLogFile = 1;
    else if ((value = PrefixValue(argument, "/logfile:")))
        TakeValue(settings.logFilePath, value, LONG_PATH_CAPACITY, "/logfile:", commandLine);
    else if (strcmp(argument, "/quiet") == 0) settings.eventLogging = 0;
    else if (strcmp(argument, "/detach") == 0) settings.detach = 1;
    else if ((value = PrefixValue(argument, "/cwd:")))
        TakeValue(settings.workingDirectory, value, LONG_PATH_CAPACITY, "/cwd:", commandLine);
    else if (strcmp(argument, "/startup") == 0) CopyField(settings.startupMethod, "startup", PATH_CAPACITY);
    else if ((value = PrefixValue(argument, "/startup:")))
        TakeValue(settings.startupMethod, value, PATH_CAPACITY, "/startup:", commandLine);
    else if (strcmp(argument, "/shutdown") == 0) CopyField(settings.shutdownMethod, "shutdown", PATH_CAPACITY);
    else if ((value = PrefixValue(argument, "/shutdown:")))
        TakeValue(settings.shutdownMethod, value, PATH_CAPACITY, "/shutdown:", commandLine);
    else if ((value = PrefixValue(argument, "/shutdownCommand:")))
        TakeValue(settings.shutdownCommand, value, COMMAND_LINE_CAPACITY, "/shutdownCommand:", commandLine);
    else if ((value = PrefixValue(argument, "/runtimelib:")))
        TakeValue(settings.runtimeLibrary, value, PATH_CAPACITY, "/runtimelib:", commandLine);
    else if ((value = PrefixValue(argument, "/javahome:")))
        TakeValue(settings.javaHome, value, PATH_CAPACITY, "/javahome:", commandLine);
    else return false;
    return true;
}

SwitchResult ParseSwitch(const char *argument, CommandLine *commandLine) {
    if (ParseFlagSwitch(argument, commandLine) || ParseSettingSwitch(argument, commandLine)) return SWITCH_CONSUMED;
    if (strcmp(argument, "java") == 0 || strcmp(argument, "jre") == 0) return SWITCH_END_CONSUMED;
    if (argument[0] == '/') return SWITCH_UNKNOWN;
    return SWITCH_END;
}

void ParseCommandLine(int argc, char **argv, CommandLine *commandLine) {
    memset(commandLine, 0, sizeof *commandLine);
    commandLine->argc = argc;
    commandLine->argv = argv;
    int index = 1;
    if (index < argc && argv[index][0] != '-' && argv[index][0] != '/') {
        TakeServiceName(argv[index], commandLine);
        index++;
    }
    for (; index < argc; index++) {
        SwitchResult result = ParseSwitch(argv[index], commandLine);
        if (result == SWITCH_CONSUMED) continue;
        if (result == SWITCH_UNKNOWN) commandLine->unknownSwitch = argv[index];
        if (result == SWITCH_END_CONSUMED) index++;
        break;
    }
    commandLine->javaArgc = argc - index;
    commandLine->javaArgv = argv + index;
}

int ParseDecimal(const char *text) {
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void BlankWhiteSpace(char *name) {
    for (char *c = name; *c != '\0'; c++)
        if (strchr(" \t\n\v\f\r", *c) != nullptr) *c = ' ';
}

/* A command line splits at blanks and tabs, so a path holding one is quoted:
 * unquoted, the controller would run the file named by its first word (the
 * unquoted-path hole on Windows). */
void FormatCommandPrefix(void) {
    const char *pathQuote = strpbrk(settings.exePath, " \t") != nullptr ? "\"" : "";
    const char *nameQuote = strchr(settings.serviceName, ' ') != nullptr ? "\"" : "";
    snprintf(settings.serviceCommandPrefix, sizeof settings.serviceCommandPrefix, "%s%s%s %s%s%s", pathQuote,
             settings.exePath, pathQuote, nameQuote, settings.serviceName, nameQuote);
}

int EqualIgnoringCase(const char *left, const char *right) {
    for (; *left != '\0' && *right != '\0'; left++, right++)
        if (tolower(static_cast<unsigned char>(*left)) != tolower(static_cast<unsigned char>(*right))) return 0;
    return *left == *right;
}

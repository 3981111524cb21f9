/* Reading the command line into ServiceSettings, and the start-up steps that
 * complete it before dispatch. */
#ifndef PELORIM_COMMANDLINE_H
#define PELORIM_COMMANDLINE_H

#include <windows.h>

/* The actions and modes a command line asks for; a flag once set stays set. */
struct CommandLine {
    int install;
    int uninstall;
    int start;
    int stop;
    int help;
    int subprocess;
    int defaultLogFile;
    /* The service name given was longer than serviceName holds. */
    int serviceNameCut;
    /* The first switch whose value was longer than its field holds, and that
     * field's capacity; NULL when none was. */
    const char *cutSwitch;
    size_t cutCapacity;
    /* The whole command line as main received it. */
    int argc;
    char **argv;
    /* What the switches left over: the Java command line. */
    int javaArgc;
    char **javaArgv;
    /* The environment block the process was started with. */
    char **environment;
    /* The first argument that looked like a switch and was none, or NULL. */
    const char *unknownSwitch;
};

enum SwitchResult {
    SWITCH_CONSUMED,      /* a switch; the loop goes on */
    SWITCH_END_CONSUMED,  /* "java" or "jre": consumed, the loop ends */
    SWITCH_END,           /* the Java command line starts here */
    SWITCH_UNKNOWN,       /* begins with "/" but is no switch */
};

/* Applies one argument of the switch loop to `commandLine` and `settings`. */
SwitchResult ParseSwitch(const char *argument, CommandLine *commandLine);
/* The service name argument and the switch loop; zeroes `commandLine` first. */
void ParseCommandLine(int argc, char **argv, CommandLine *commandLine);
/* Writes the banner, "Unknown command: <argument>" and the usage; returns 8. */
int RejectUnknownSwitch(const char *argument);

/* Leading blanks, an optional sign, digits; anything else gives 0. */
int ParseDecimal(const char *text);
/* Rewrites every white-space character of `name` as a blank. */
void BlankWhiteSpace(char *name);
/* serviceCommandPrefix from exePath and serviceName. */
void FormatCommandPrefix(void);
/* Case-insensitive comparison of ASCII letters; 1 when equal. */
int EqualIgnoringCase(const char *left, const char *right);

/* The banner, the platform check, exePath and the service name; returns 0,
 * or the exit code of a run that ends here. */
int CompleteSettings(void);
/* Environment, working directory, debug level, log file, event logging. */
void ApplyStartupSettings(const CommandLine *commandLine);
int Dispatch(const CommandLine *commandLine);

#endif

/* /install: prove the Java command line in a probe VM, then create the service
 * and store every setting as a parameter value. */
#include "control/control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/settings.h"
#include "config/params.h"
#include "control/commandline.h"
#include "control/install.h"
#include "jvm/jvm.h"
#include "log/log.h"
#include "scm/scm.h"

static const char emptyArgumentMessage[] =
    "Empty argument (\"\") in the Java command line cannot be stored; remove it or give it a value\n";
static const char emptyDependencyMessage[] =
    "Empty /depend: cannot be stored; remove it or give it a service name\n";
static const char unprotectedKeyMessage[] =
    "Nothing was stored in the service's key, as other users could read it; remove the service with /uninstall";
static const char noFullPathMessage[] =
    "Cannot install: the full path of this program cannot be obtained; move the program to a shorter path";

void ClearJavaCommandLine(JavaCommandLine *line) {
    ClearStrings(&line->options);
    ClearStrings(&line->arguments);
    line->archive = 0;
    line->mainName = nullptr;
}

/* A multi-string ends at its first empty string, so an empty main name or
 * program argument would be lost, with every argument after it. */
static int HasEmptyArgument(int argc, char **argv) {
    for (int i = 0; i < argc; i++)
        if (argv[i][0] == '\0') return 1;
    return 0;
}

/* The launcher's options whose value may follow as the next word, and what
 * the virtual machine takes instead: the class path as its property, a module
 * option as "--name=value" (-p is --module-path). The launcher's own others
 * are passed on as typed, for the probe to refuse. */
enum ValueForm { CLASS_PATH_VALUE, JOINED_VALUE, LAUNCHER_ONLY };
struct SeparateValueOption {
    const char *name;
    ValueForm form;
    const char *machineName; /* JOINED_VALUE: the name before "=" where it is not `name` */
};
static const SeparateValueOption separateValueOptions[] = {
    {"-classpath", CLASS_PATH_VALUE, nullptr},
    {"-cp", CLASS_PATH_VALUE, nullptr},
    {"--class-path", CLASS_PATH_VALUE, nullptr},
    {"-p", JOINED_VALUE, "--module-path"},
    {"--module-path", JOINED_VALUE, nullptr},
    {"--upgrade-module-path", JOINED_VALUE, nullptr},
    {"--add-modules", JOINED_VALUE, nullptr},
    {"--enable-native-access", JOINED_VALUE, nullptr},
    {"--limit-modules", JOINED_VALUE, nullptr},
    {"--add-exports", JOINED_VALUE, nullptr},
    {"--add-opens", JOINED_VALUE, nullptr},
    {"--add-reads", JOINED_VALUE, nullptr},
    {"--patch-module", JOINED_VALUE, nullptr},
    {"--module", LAUNCHER_ONLY, nullptr},
    {"-m", LAUNCHER_ONLY, nullptr},
    {"--describe-module", LAUNCHER_ONLY, nullptr},
    {"-d", LAUNCHER_ONLY, nullptr},
    {"--source", LAUNCHER_ONLY, nullptr},
};

static const SeparateValueOption *FindSeparateValueOption(const char *option) {
    for (const SeparateValueOption &entry : separateValueOptions)
        if (strcmp(option, entry.name) == 0) return &entry;
    return nullptr;
}

bool TakesSeparateValue(const char *option) { return FindSeparateValueOption(option) != nullptr; }

static void AddOption(const char *option, VmOptionList *probe, JavaCommandLine *line) {
    AddString(&line->options, option);
    AddVmOption(probe, option, nullptr);
}

static void AddClassPath(const char *classPath, VmOptionList *probe, JavaCommandLine *line) {
    AddClassPathOption(probe, classPath);
    AddString(&line->options, probe->options[probe->count - 1].optionString);
}

/* "--class-path=X" is the launcher's alone, like "--class-path X". */
static const char *ClassPathAfterEquals(const char *option) {
    static const char prefix[] = "--class-path=";
    return strncmp(option, prefix, sizeof prefix - 1) == 0 ? option + sizeof prefix - 1 : nullptr;
}

/* An option and, for the table's, its value word: 0 with *next moved past
 * them, or 8 after a message when the value is missing. */
static int TakeOption(int argc, char **argv, int *next, VmOptionList *probe, JavaCommandLine *line) {
    const char *option = argv[(*next)++];
    const SeparateValueOption *entry = FindSeparateValueOption(option);
    const char *classPath = ClassPathAfterEquals(option);
    if (strcmp(option, "-jar") == 0) {
        line->archive = 1;
    } else if (classPath != nullptr) {
        AddClassPath(classPath, probe, line);
    } else if (entry == nullptr || entry->form == LAUNCHER_ONLY) {
        AddOption(option, probe, line);
    } else if (*next >= argc) {
        fprintf(stderr, entry->form == CLASS_PATH_VALUE ? "%s requires class path specification\n"
                                                        : "%s requires a value\n",
                option);
        return 8;
    } else if (entry->form == CLASS_PATH_VALUE) {
        AddClassPath(argv[(*next)++], probe, line);
    } else {
        const char *name = entry->machineName != nullptr ? entry->machineName : entry->name;
        TextGuard joined(FormatText("%s=%s", name, argv[(*next)++]));
        AddOption(joined.Get(), probe, line);
    }
    return 0;
}

int ParseJavaCommandLine(int argc, char **argv, VmOptionList *probe, JavaCommandLine *line) {
    int next = 0;
    while (next < argc && argv[next][0] == '-')
        if (TakeOption(argc, argv, &next, probe, line) != 0) return 8;
    if (next >= argc) {
        fputs("main class or jar file not specified\n", stderr);
        return 8;
    }
    if (HasEmptyArgument(argc - next, argv + next)) {
        fputs(emptyArgumentMessage, stderr);
        return 8;
    }
    line->mainName = argv[next++];
    if (line->archive) AddClassPathOption(probe, line->mainName);
    while (next < argc) AddString(&line->arguments, argv[next++]);
    return 0;
}

int CheckMainClass(JNIEnv *env, const char *mainName, int archive) {
    jclass mainClass = nullptr;
    jmethodID mainMethod = nullptr;
    return ResolveMainClass(env, mainName, archive, &mainClass, &mainMethod);
}

/* The probe: a VM made from `probe`, the main class checked, everything unloaded. */
static int ProbeJavaCommandLine(VmOptionList *probe, JniEntryPoints *entryPoints, const JavaCommandLine *line) {
    JNIEnv *env = nullptr;
    if (CreateJvm(probe, entryPoints, VM_CREATING_PROBE, &env) != 0) {
        LogError("Could not create the Java virtual machine");
        return 3;
    }
    int result = CheckMainClass(env, line->mainName, line->archive);
    javaVM->DestroyJavaVM();
    javaVM = nullptr;
    FreeLibrary(entryPoints->library);
    return result;
}

static void WriteText(const char *name, const char *text) {
    WriteParameter(name, REG_SZ, text, (DWORD)strlen(text) + 1);
}

static void WriteNumber(const char *name, DWORD value) {
    WriteParameter(name, REG_DWORD, &value, sizeof value);
}

static void WriteStrings(const char *name, const StringList *list) {
    char *multiString = nullptr;
    size_t size = ToMultiString(list, &multiString);
    WriteParameter(name, REG_MULTI_SZ, multiString, (DWORD)size);
    free(multiString);
}

/* The variables that Windows sets from the logged-on user's profile and
 * session. The Service Control Manager gives a service its own, those of its
 * account (its TEMP, its USERPROFILE); the installing administrator's would
 * send the service's temporary files into that administrator's profile. Names
 * compare without regard to case, as Windows compares them. The README names
 * this list. */
static const char *const userSessionVariables[] = {
    "APPDATA",  "CLIENTNAME", "HOMEDRIVE", "HOMEPATH", "HOMESHARE", "LOCALAPPDATA", "LOGONSERVER",
    "OneDrive", "OneDriveCommercial", "OneDriveConsumer", "SESSIONNAME", "TEMP", "TMP",
    "USERDNSDOMAIN", "USERDOMAIN", "USERDOMAIN_ROAMINGPROFILE", "USERNAME", "USERPROFILE",
};

static int IsUserSessionVariable(const char *entry) {
    TextGuard name(DuplicateOrExit(entry));
    char *equals = strchr(name.Get(), '=');
    if (equals != nullptr) *equals = '\0';
    for (const char *variable : userSessionVariables)
        if (EqualIgnoringCase(name.Get(), variable)) return 1;
    return 0;
}

/* The installing environment, less the user's and session's own variables.
 * A variable the service is to have whatever its account gives it is added
 * to the stored value afterwards (reg add), and kept from then on. */
static void WriteEnvironment(char **envp) {
    if (envp == nullptr) return;
    StringList environment = {};
    for (char **variable = envp; *variable != nullptr; variable++)
        if ((*variable)[0] != '=' && !IsUserSessionVariable(*variable)) AddString(&environment, *variable);
    WriteStrings("Environment", &environment);
    ClearStrings(&environment);
}

static void WriteInstalledParameters(char **envp, const JavaCommandLine *line) {
    WriteEnvironment(envp);
    if (settings.description[0] != '\0') WriteText("Description", settings.description);
    if (settings.workingDirectory[0] != '\0') WriteText("CurrentDirectory", settings.workingDirectory);
    if (settings.startupMethod[0] != '\0') WriteText("StartupMethod", settings.startupMethod);
    if (settings.shutdownMethod[0] != '\0') WriteText("ShutdownMethod", settings.shutdownMethod);
    if (settings.shutdownCommand[0] != '\0') WriteText("ShutdownCommand", settings.shutdownCommand);
    if (settings.priorityClass != 0) WriteNumber("Priority", settings.priorityClass);
    if (settings.timeoutText[0] != '\0') {
        long timeout = atol(settings.timeoutText);
        if (timeout != 0) WriteNumber("Timeout", (DWORD)timeout);
    }
    /* debugLevel already holds the switch's value: the level this install ran at. */
    if (settings.debugLevelText[0] != '\0' && settings.debugLevel > 0)
        WriteNumber("DebugLevel", (DWORD)settings.debugLevel);
    if (settings.logFilePath[0] != '\0') WriteText("LogFile", settings.logFilePath);
    if (settings.eventLogging == 0) WriteNumber("EventLogging", 0);
    if (settings.detach == 1) WriteNumber("CreateProcess", 1);
    if (settings.javaHome[0] != '\0') WriteText("JavaHome", settings.javaHome);
    if (jvmType != nullptr && jvmType[0] != '\0') WriteText("JVMType", jvmType);
    if (settings.runtimeLibrary[0] != '\0') WriteText("JNILibrary", settings.runtimeLibrary);
    if (line->options.count > 0) WriteStrings("JavaOptions", &line->options);
    WriteText(line->archive ? "JavaArchive" : "JavaMainClass", line->mainName);
    if (line->arguments.count > 0) WriteStrings("JavaArgs", &line->arguments);
}

/* The first word names the JVM type to ask discovery for when it is an option. */
static void RequestJvmType(int argc, char **argv) {
    free(jvmType);
    jvmType = nullptr;
    if (argc > 0 && argv[0][0] == '-') jvmType = DuplicateOrExit(argv[0]);
}

/* The key is closed before any value is written: the environment and the
 * Java command line may hold secrets. A key that cannot be closed gets none
 * of them. */
static int InstallProvenCommandLine(char **envp, const JavaCommandLine *line) {
    if (CreateServiceEntry() != 0) return 9;
    if (ProtectServiceKey() != 0) {
        LogError(unprotectedKeyMessage);
        return 9;
    }
    RegisterEventLogSource();
    WriteInstalledParameters(envp, line);
    ReportInstalledSettings();
    return 0;
}

/* The dependency list is a multi-string, which ends at its first empty
 * string: every name after an empty /depend: would be lost. */
static int RefuseEmptyDependency(void) {
    if (FindString(&settings.dependencies, "") < 0) return 0;
    fputs(emptyDependencyMessage, stderr);
    return 8;
}

/* The service's command line must name this very file: a path the platform
 * could not give in full, or one holding a double quote (which no command line
 * can carry in its program name), would name another. */
static int RefuseUnusableExecutablePath(void) {
    if (settings.exePath[0] == '\0') {
        LogError(noFullPathMessage);
        return 9;
    }
    if (strchr(settings.exePath, '"') != nullptr) {
        LogLabelled("Cannot install: a command line cannot name a program whose path holds a double quote:",
                    settings.exePath, LOG_ERROR);
        return 9;
    }
    return 0;
}

/* The install proper, once the Java command line holds no argument file. */
static int InstallJavaCommandLine(int argc, char **argv, char **envp) {
    VmOptionList probe = {};
    if (!settings.detach) AddVmOption(&probe, "exit", reinterpret_cast<void *>(JvmExitHook));
    ReadJavaSoftKey(&jdkInfo, JAVASOFT_JDK_KEY);
    ReadJavaSoftKey(&jreInfo, JAVASOFT_JRE_KEY);
    AddUserDirOption(&probe, settings.workingDirectory);
    AddClassPathOption(&probe, settings.workingDirectory);
    RequestJvmType(argc, argv);

    JniEntryPoints entryPoints = {};
    if (FindJavaRuntime(&entryPoints) != 0) {
        ReportNoJavaRuntime();
        FreeVmOptions(&probe);
        return 1;
    }
    ReportFollowedRuntime();
    if (jvmTypeMatched == 1) {
        argc--;
        argv++;
    } else {
        free(jvmType);
        jvmType = nullptr;
    }
    AddEnvironmentClassPathOption(&probe);

    JavaCommandLine line = {};
    int result = ParseJavaCommandLine(argc, argv, &probe, &line);
    if (result == 0) result = ProbeJavaCommandLine(&probe, &entryPoints, &line);
    if (result == 0) result = InstallProvenCommandLine(envp, &line);
    ClearJavaCommandLine(&line);
    FreeVmOptions(&probe);
    return result;
}

int InstallFromCommandLine(int argc, char **argv, char **envp) {
    int result = RefuseEmptyDependency();
    if (result == 0) result = RefuseUnusableExecutablePath();
    if (result != 0) return result;
    StringList words = {};
    result = ExpandArgumentFiles(argc, argv, &words);
    if (result == 0) result = InstallJavaCommandLine(words.count, words.items, envp);
    ClearStrings(&words);
    return result;
}

/* /install: prove the Java command line in a probe VM, then create the service
 * and store every setting as a parameter value. */
#include "control/control.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "config/params.h"
#include "config/settings_report.h"
#include "control/argfiles.h"
#include "control/commandline.h"
#include "control/java_command_line.h"
#include "jvm/jvm.h"
#include "log/log.h"
#include "scm/scm.h"

int CheckMainClass(JNIEnv *env, const char *mainName, int archive) {
    jclass mainClass = nullptr;
    jmethodID mainMethod = nullptr;
    return ResolveMainClass(env, mainName, archive, &mainClass, &mainMethod);
}

/* The probe: a VM made from `probe`, the main class checked, everything unloaded. */
static int ProbeJavaCommandLine(VmOptionList *probe, JniEntryPoints *entryPoints, const JavaCommandLine *line) {
    JNIEnv *env = nullptr;
    if (CreateJvm(probe, entryPoints, VM_CREATING_PROBE, &env) != 0) {
        LogError(MSG_CANNOT_CREATE_JVM);
        return 3;
    }
    int result = CheckMainClass(env, line->mainName, line->archive);
    javaVM->DestroyJavaVM();
    javaVM = nullptr;
    FreeLibrary(entryPoints->library);
    return result;
}

static void WriteText(ParameterId id, const char *text) { WriteParameter(id, text, (DWORD)strlen(text) + 1); }

static void WriteNumber(ParameterId id, DWORD value) { WriteParameter(id, &value, sizeof value); }

static void WriteStrings(ParameterId id, const StringList *list) {
    char *multiString = nullptr;
    size_t size = ToMultiString(list, &multiString);
    WriteParameter(id, multiString, (DWORD)size);
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
    WriteStrings(PARAMETER_ENVIRONMENT, &environment);
    ClearStrings(&environment);
}

static void WriteInstalledParameters(char **envp, const JavaCommandLine *line) {
    WriteEnvironment(envp);
    if (settings.description[0] != '\0') WriteText(PARAMETER_DESCRIPTION, settings.description);
    if (settings.workingDirectory[0] != '\0') WriteText(PARAMETER_CURRENT_DIRECTORY, settings.workingDirectory);
    if (settings.startupMethod[0] != '\0') WriteText(PARAMETER_STARTUP_METHOD, settings.startupMethod);
    if (settings.shutdownMethod[0] != '\0') WriteText(PARAMETER_SHUTDOWN_METHOD, settings.shutdownMethod);
    if (settings.shutdownCommand[0] != '\0') WriteText(PARAMETER_SHUTDOWN_COMMAND, settings.shutdownCommand);
    if (settings.priorityClass != 0) WriteNumber(PARAMETER_PRIORITY, settings.priorityClass);
    if (settings.timeoutText[0] != '\0') {
        long timeout = atol(settings.timeoutText);
        if (timeout != 0) WriteNumber(PARAMETER_TIMEOUT, (DWORD)timeout);
    }
    /* debugLevel already holds the switch's value: the level this install ran at. */
    if (settings.debugLevelText[0] != '\0' && settings.debugLevel > 0)
        WriteNumber(PARAMETER_DEBUG_LEVEL, (DWORD)settings.debugLevel);
    if (settings.logFilePath[0] != '\0') WriteText(PARAMETER_LOG_FILE, settings.logFilePath);
    if (settings.eventLogging == 0) WriteNumber(PARAMETER_EVENT_LOGGING, 0);
    if (settings.detach == 1) WriteNumber(PARAMETER_CREATE_PROCESS, 1);
    if (settings.javaHome[0] != '\0') WriteText(PARAMETER_JAVA_HOME, settings.javaHome);
    if (jvmType != nullptr && jvmType[0] != '\0') WriteText(PARAMETER_JVM_TYPE, jvmType);
    if (settings.runtimeLibrary[0] != '\0') WriteText(PARAMETER_JNI_LIBRARY, settings.runtimeLibrary);
    if (line->options.count > 0) WriteStrings(PARAMETER_JAVA_OPTIONS, &line->options);
    WriteText(line->archive ? PARAMETER_JAVA_ARCHIVE : PARAMETER_JAVA_MAIN_CLASS, line->mainName);
    if (line->arguments.count > 0) WriteStrings(PARAMETER_JAVA_ARGS, &line->arguments);
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
        LogError(MSG_KEY_LEFT_UNPROTECTED);
        return 9;
    }
    RegisterEventLogSource();
    WriteInstalledParameters(envp, line);
    FoundRuntime found = {javaHomeUsed, loadedLibraryPath, javaRuntimeSource};
    ReportInstalledSettings(&found);
    return 0;
}

/* The dependency list is a multi-string, which ends at its first empty
 * string: every name after an empty /depend: would be lost. */
static int RefuseEmptyDependency(void) {
    if (FindString(&settings.dependencies, "") < 0) return 0;
    fputs(MSG_EMPTY_DEPENDENCY, stderr);
    return 8;
}

/* The service's command line must name this very file: a path the platform
 * could not give in full, or one holding a double quote (which no command line
 * can carry in its program name), would name another. */
static int RefuseUnusableExecutablePath(void) {
    if (settings.exePath[0] == '\0') {
        LogError(MSG_NO_FULL_PROGRAM_PATH);
        return 9;
    }
    if (strchr(settings.exePath, '"') != nullptr) {
        LogLabelled(MSG_PROGRAM_PATH_HOLDS_QUOTE, settings.exePath, LOG_ERROR);
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

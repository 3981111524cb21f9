/* Creating the Java VM with the stored options and running the application in it. */
#include "jvm/jvm.h"

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "config/params.h"
#include "log/log.h"

JavaVM *javaVM;

/* jvmLive and the attach that depends on it change together under this lock,
 * so a thread never attaches to a VM that is not yet created or already gone.
 * A spin lock needs no initialisation, so a stop may take it at any time. */
static std::atomic_flag jvmStateLock = ATOMIC_FLAG_INIT;
static int jvmLive;

static void LockJvmState(void) {
    while (jvmStateLock.test_and_set(std::memory_order_acquire)) Sleep(1);
}

static void UnlockJvmState(void) { jvmStateLock.clear(std::memory_order_release); }

void SetJvmLive(int live) {
    LockJvmState();
    jvmLive = live;
    UnlockJvmState();
}

int AttachToLiveJvm(JNIEnv **env) {
    LockJvmState();
    if (!jvmLive) {
        UnlockJvmState();
        return 1;
    }
    jint status = javaVM->AttachCurrentThread(reinterpret_cast<void **>(env), nullptr);
    UnlockJvmState();
    return status < 0 ? 2 : 0;
}

void AddVmOption(VmOptionList *list, const char *option, void *extraInfo) {
    if (list->count == list->capacity) {
        if (list->options == nullptr) {
            list->options = static_cast<JavaVMOption *>(AllocateOrExit(4 * sizeof(JavaVMOption)));
            list->capacity = 4;
        } else {
            list->capacity *= 2;
            list->options = static_cast<JavaVMOption *>(
                ReallocateOrExit(list->options, (size_t)list->capacity * sizeof(JavaVMOption)));
        }
    }
    list->options[list->count].optionString = DuplicateOrExit(option);
    list->options[list->count].extraInfo = extraInfo;
    list->count++;
}

static void AddPrefixedOption(VmOptionList *list, const char *prefix, const char *value) {
    size_t size = strlen(prefix) + strlen(value) + 1;
    TextGuard option(static_cast<char *>(AllocateOrExit(size)));
    strcpy(option.Get(), prefix);
    strcat(option.Get(), value);
    AddVmOption(list, option.Get(), nullptr);
}

void AddUserDirOption(VmOptionList *list, const char *directory) {
    AddPrefixedOption(list, "-Duser.dir=", directory);
}

void AddClassPathOption(VmOptionList *list, const char *classPath) {
    AddPrefixedOption(list, "-Djava.class.path=", classPath);
}

void AddEnvironmentClassPathOption(VmOptionList *list) {
    TextGuard classPath(ReadEnvironmentVariable("CLASSPATH"));
    AddClassPathOption(list, classPath ? classPath.Get() : ".");
}

void AddMultiStringOptions(VmOptionList *list, const char *multiString) {
    if (multiString == nullptr) return;
    for (const char *option = multiString; *option != '\0'; option += strlen(option) + 1)
        AddVmOption(list, option, nullptr);
}

void FreeVmOptions(VmOptionList *list) {
    for (int i = 0; i < list->count; i++) free(list->options[i].optionString);
    free(list->options);
    list->options = nullptr;
    list->capacity = 0;
    list->count = 0;
}

int CreateJvm(VmOptionList *list, JniEntryPoints *entryPoints, int mode, JNIEnv **env) {
    AddVmOption(list, "abort", reinterpret_cast<void *>(JvmAbortHook));
    JavaVMInitArgs arguments;
    memset(&arguments, 0, sizeof arguments);
    arguments.version = JNI_VERSION_1_2;
    arguments.nOptions = list->count;
    arguments.options = list->options;
    arguments.ignoreUnrecognized = JNI_FALSE;
    applicationOutcome.creatingVm.store(mode);
    jint status = entryPoints->createJavaVM(&javaVM, reinterpret_cast<void **>(env), &arguments);
    applicationOutcome.creatingVm.store(0);
    return status != 0 ? 1 : 0;
}

/* JNILibrary, JavaHome and JVMType override what the command line gave. */
static void ReadRuntimeParameters(void) {
    TextGuard library(ReadStringParameter(PARAMETER_JNI_LIBRARY));
    if (library) CopyField(settings.runtimeLibrary, library.Get(), PATH_CAPACITY);
    TextGuard home(ReadStringParameter(PARAMETER_JAVA_HOME));
    if (home) CopyField(settings.javaHome, home.Get(), PATH_CAPACITY);
    TextGuard type(ReadStringParameter(PARAMETER_JVM_TYPE));
    if (type) {
        free(jvmType);
        jvmType = type.Release();
    }
}

/* Neither JavaMainClass nor JavaArchive gave a name: says which value is
 * there but unreadable, or that both are missing. */
static void ReportMissingMainName(void) {
    ParameterId stored = ParameterExists(PARAMETER_JAVA_MAIN_CLASS) ? PARAMETER_JAVA_MAIN_CLASS
                         : ParameterExists(PARAMETER_JAVA_ARCHIVE) ? PARAMETER_JAVA_ARCHIVE
                                                                   : PARAMETER_COUNT;
    if (stored != PARAMETER_COUNT)
        LogLabelled(MSG_STORED_VALUE_EMPTY, storedParameters[stored].name, LOG_ERROR);
    else
        LogError(MSG_NO_MAIN_CLASS_STORED);
}

int RunJavaApplication(PHANDLER_ROUTINE consoleHandler, void (*drainOutput)(void)) {
    VmOptionList options = {};
    int inProcess = !ReadDetachedParameter();
    if (inProcess) {
        AddVmOption(&options, "exit", reinterpret_cast<void *>(JvmExitHook));
        jvmAbortDrain = drainOutput;
    }
    ReadJavaSoftKey(&jdkInfo, JAVASOFT_JDK_KEY);
    ReadJavaSoftKey(&jreInfo, JAVASOFT_JRE_KEY);
    AddUserDirOption(&options, settings.workingDirectory);
    AddClassPathOption(&options, settings.workingDirectory);
    ReadRuntimeParameters();

    /* Before the runtime library loads: its C runtime takes them as it starts. */
    if (!settings.interactive && PointStandardHandlesAtPipes() != 0) {
        LogError(MSG_CANNOT_REDIRECT_STD_STREAMS);
        FreeVmOptions(&options);
        return RUN_NO_REDIRECT;
    }
    JniEntryPoints entryPoints = {};
    if (FindJavaRuntime(&entryPoints) != 0) {
        ReportNoJavaRuntime();
        FreeVmOptions(&options);
        return RUN_NO_RUNTIME;
    }
    AddEnvironmentClassPathOption(&options);
    TextGuard javaOptions(ReadStringParameter(PARAMETER_JAVA_OPTIONS));
    AddMultiStringOptions(&options, javaOptions.Get());

    int archive = 0;
    TextGuard mainName(ReadStringParameter(PARAMETER_JAVA_MAIN_CLASS));
    if (!mainName) {
        mainName.Reset(ReadStringParameter(PARAMETER_JAVA_ARCHIVE));
        if (!mainName) {
            ReportMissingMainName();
            FreeVmOptions(&options);
            return RUN_NO_MAIN_CLASS;
        }
        archive = 1;
        AddClassPathOption(&options, mainName.Get());
    }

    JNIEnv *env = nullptr;
    if (CreateJvm(&options, &entryPoints, inProcess ? VM_CREATING_IN_PROCESS : VM_CREATING_IN_CHILD, &env) != 0) {
        LogError(MSG_CANNOT_CREATE_JVM);
        FreeVmOptions(&options);
        return RUN_NO_VM;
    }
    SetJvmLive(1);
    int result = InvokeMainClass(env, mainName.Get(), archive, consoleHandler);
    javaVM->DestroyJavaVM();
    SetJvmLive(0);
    FreeVmOptions(&options);
    return result;
}

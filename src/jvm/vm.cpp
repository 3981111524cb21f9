/* Creating the Java VM with the stored options and running the application in it. */
#include "jvm/jvm.h"

#include <atomic>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
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

/* The virtual machine's own messages (what it would print on its standard
 * output and error, the null device in a service: why its creation failed,
 * its warnings, thread dumps) become records of the service's log, one per
 * line, like the application's own output: in the service process and in a
 * detached child alike, whatever the debug level. A line comes in pieces, so
 * a piece without its line end waits here for the rest; a line longer than
 * the buffer goes in parts. Guarded by logLock. */
enum { VM_MESSAGE_CAPACITY = 1024 };
static char vmMessageLine[VM_MESSAGE_CAPACITY];
static size_t vmMessageLength;

static void LogVmMessageLine(void) {
    if (vmMessageLength == 0) return;
    vmMessageLine[vmMessageLength] = '\0';
    vmMessageLength = 0;
    WriteServiceLog(vmMessageLine, LOG_ERROR);
}

static void AddVmMessageText(const char *text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '\n') {
            LogVmMessageLine();
        } else if (text[i] != '\r') {
            if (vmMessageLength == VM_MESSAGE_CAPACITY - 1) LogVmMessageLine();
            vmMessageLine[vmMessageLength++] = text[i];
        }
    }
}

void LogPendingVmMessage(void) {
    InitializeLog();
    EnterCriticalSection(&logLock);
    LogVmMessageLine();
    LeaveCriticalSection(&logLock);
}

jint JNICALL JvmMessageHook(FILE *stream, const char *format, va_list arguments) {
    (void)stream;
    char buffer[VM_MESSAGE_CAPACITY];
    va_list first;
    va_copy(first, arguments);
    int length = vsnprintf(buffer, sizeof buffer, format, first);
    va_end(first);
    if (length < 0) return length;
    TextGuard allocated;
    const char *text = buffer;
    if (static_cast<size_t>(length) >= sizeof buffer) {
        allocated.Reset(static_cast<char *>(AllocateOrExit(static_cast<size_t>(length) + 1)));
        vsnprintf(allocated.Get(), static_cast<size_t>(length) + 1, format, arguments);
        text = allocated.Get();
    }
    InitializeLog();
    EnterCriticalSection(&logLock);
    AddVmMessageText(text, static_cast<size_t>(length));
    LeaveCriticalSection(&logLock);
    return length;
}

/* Set while JNI_CreateJavaVM runs. */
static std::atomic<int> creatingJvm;

/* The JNI "abort" hook. A runtime that gives up while it is being created,
 * past the parsing of its options (a module that cannot be resolved, a heap
 * too small for it), does not return from JNI_CreateJavaVM: it ends the
 * process with exit status 1, which here means that no runtime was found.
 * It calls this hook first, and during creation the hook ends the process
 * itself, with the result of a virtual machine not created. A live virtual
 * machine that aborts (a crash) goes on to its own end. */
static void JNICALL JvmAbortHook(void) {
    if (!creatingJvm.load()) return;
    LogPendingVmMessage();
    LogError("Could not create the Java virtual machine");
    ExitProcess(RUN_NO_VM);
}

int CreateJvm(VmOptionList *list, JniEntryPoints *entryPoints, JNIEnv **env) {
    AddVmOption(list, "abort", reinterpret_cast<void *>(JvmAbortHook));
    JavaVMInitArgs arguments;
    memset(&arguments, 0, sizeof arguments);
    arguments.version = JNI_VERSION_1_2;
    arguments.nOptions = list->count;
    arguments.options = list->options;
    arguments.ignoreUnrecognized = JNI_FALSE;
    creatingJvm.store(1);
    jint status = entryPoints->createJavaVM(&javaVM, reinterpret_cast<void **>(env), &arguments);
    creatingJvm.store(0);
    LogPendingVmMessage();
    return status != 0 ? 1 : 0;
}

/* JNILibrary, JavaHome and JVMType override what the command line gave. */
static void ReadRuntimeParameters(void) {
    TextGuard library(ReadStringParameter("JNILibrary"));
    if (library) CopyField(settings.runtimeLibrary, library.Get(), PATH_CAPACITY);
    TextGuard home(ReadStringParameter("JavaHome"));
    if (home) CopyField(settings.javaHome, home.Get(), PATH_CAPACITY);
    TextGuard type(ReadStringParameter("JVMType"));
    if (type) {
        free(jvmType);
        jvmType = type.Release();
    }
}

/* Neither JavaMainClass nor JavaArchive gave a name: says which value is
 * there but unreadable, or that both are missing. */
static void ReportMissingMainName(void) {
    const char *stored = ParameterExists("JavaMainClass") ? "JavaMainClass"
                         : ParameterExists("JavaArchive") ? "JavaArchive"
                                                          : nullptr;
    if (stored != nullptr)
        LogLabelled("Cannot start: this stored value holds no text:", stored, LOG_ERROR);
    else
        LogError("Cannot start: neither JavaMainClass nor JavaArchive is stored for this service");
}

int RunJavaApplication(PHANDLER_ROUTINE consoleHandler) {
    VmOptionList options = {};
    if (ReadDwordParameter("CreateProcess", 0) == 0)
        AddVmOption(&options, "exit", reinterpret_cast<void *>(JvmExitHook));
    AddVmOption(&options, "vfprintf", reinterpret_cast<void *>(JvmMessageHook));
    ReadJavaSoftKey(&jdkInfo, JAVASOFT_JDK_KEY);
    ReadJavaSoftKey(&jreInfo, JAVASOFT_JRE_KEY);
    AddUserDirOption(&options, settings.workingDirectory);
    AddClassPathOption(&options, settings.workingDirectory);
    ReadRuntimeParameters();

    JniEntryPoints entryPoints = {};
    if (FindJavaRuntime(&entryPoints) != 0) {
        ReportNoJavaRuntime();
        FreeVmOptions(&options);
        return RUN_NO_RUNTIME;
    }
    AddEnvironmentClassPathOption(&options);
    TextGuard javaOptions(ReadStringParameter("JavaOptions"));
    AddMultiStringOptions(&options, javaOptions.Get());

    int archive = 0;
    TextGuard mainName(ReadStringParameter("JavaMainClass"));
    if (!mainName) {
        mainName.Reset(ReadStringParameter("JavaArchive"));
        if (!mainName) {
            ReportMissingMainName();
            FreeVmOptions(&options);
            return RUN_NO_MAIN_CLASS;
        }
        archive = 1;
        AddClassPathOption(&options, mainName.Get());
    }

    JNIEnv *env = nullptr;
    if (CreateJvm(&options, &entryPoints, &env) != 0) {
        LogError("Could not create the Java virtual machine");
        FreeVmOptions(&options);
        return RUN_NO_VM;
    }
    SetJvmLive(1);
    int result = InvokeMainClass(env, mainName.Get(), archive, consoleHandler);
    javaVM->DestroyJavaVM();
    SetJvmLive(0);
    LogPendingVmMessage();
    FreeVmOptions(&options);
    return result;
}

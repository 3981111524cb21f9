/* The Java VM host: runtime discovery, VM creation, main class launch,
 * stream redirection, startup, exit hook and shutdown. */
#ifndef PELORIM_JVM_H
#define PELORIM_JVM_H

#include <stdio.h>
#include <windows.h>
#include <jni.h>

#include <atomic>

#include "common/settings.h"

typedef jint(JNICALL *CreateJavaVMFunction)(JavaVM **, void **, void *);
typedef jint(JNICALL *GetDefaultJavaVMInitArgsFunction)(void *);

struct JniEntryPoints {
    HMODULE library;
    CreateJavaVMFunction createJavaVM;
    GetDefaultJavaVMInitArgsFunction getDefaultJavaVMInitArgs;
};

struct JavaSoftInfo {
    char *javaHomeValue;
    char *runtimeLibValue;
    char *currentVersion; /* the key's CurrentVersion, the subkey that the two values came from */
};

#define JAVASOFT_JDK_KEY "Software\\JavaSoft\\Java Development Kit"
#define JAVASOFT_JRE_KEY "Software\\JavaSoft\\Java Runtime Environment"
/* The keys that Java 9 and later installers write, read the same way. */
#define JAVASOFT_CURRENT_JDK_KEY "Software\\JavaSoft\\JDK"
#define JAVASOFT_CURRENT_JRE_KEY "Software\\JavaSoft\\JRE"

extern JavaSoftInfo jdkInfo;
extern JavaSoftInfo jreInfo;
extern char *jvmType;              /* owned, or NULL */
extern int jvmTypeMatched;
extern char loadedLibraryPath[PATH_CAPACITY + 1];
extern char javaHomeUsed[PATH_CAPACITY + 1];
/* The source that FindJavaRuntime took, as its "Loading JNI: <source> used:"
 * line names it ("JAVA_HOME env var", "java on PATH"); NULL before a search. */
extern const char *javaRuntimeSource;

int ReadJavaSoftKey(JavaSoftInfo *info, const char *keyPath);
int FindJavaRuntime(JniEntryPoints *entryPoints);
/* After a failed FindJavaRuntime: why, when that is known (the runtime that
 * the service is pinned to no longer exists; the last library that was there
 * is of the other word size, or a library it needs was not found), then
 * MSG_CANNOT_FIND_JAVA_VM; both at Error level. */
void ReportNoJavaRuntime(void);
/* After FindJavaRuntime succeeded at /install through JAVA_HOME or PATH: one
 * Info line that an update into another folder is followed, and how to pin
 * the runtime instead. Nothing for the other sources. */
void ReportFollowedRuntime(void);

/* The runtime's directory that LoadJNILibrary gave the system's DLL search
 * is inherited by the programs this process starts (Windows documents it),
 * which would then search the runtime's bin before System32 and could bind to
 * its older C runtime. Hide puts the default search back for the moment of a
 * CreateProcessA; Show gives the directory back right after it. Both do
 * nothing while no directory is given. */
void HideRuntimeDirectory(void);
void ShowRuntimeDirectory(void);

/* The feature version that a name gives ("jdk-21.0.5.11-hotspot", "zulu-17",
 * "17.0.6.7" give 21, 17, 17; "jdk1.8.0_392" and "1.8" give 8): its first
 * number, or the one after "1."; 0 when it holds none. */
int FeatureVersionOfName(const char *name);
/* A Java home's feature version: JAVA_VERSION of its release file, else its
 * folder's name; 0 when neither tells. */
int FeatureVersionOfHome(const char *home);

/* The steps of the search, each 0 or 1 like FindJavaRuntime. */
int SearchJavaHome(const char *directory, JniEntryPoints *entryPoints);
int SearchJvmDirectory(const char *directory, JniEntryPoints *entryPoints);
/* Fills `types` from the first jvm.cfg found below `directory` and writes the
 * directory that held it (directory + one of hostJvmConfigPlaces) to
 * `configDirectory` (PATH_CAPACITY + 1 bytes). */
int FindJvmConfig(const char *directory, StringList *types, char *configDirectory);
int ReadJvmConfig(const char *directory, StringList *types);
/* The jvm.cfg text as ReadJvmConfig reads it: lines of at most 259
 * characters (longer ones in pieces), each "-" line's first word appended. */
void ParseJvmConfigText(const char *text, size_t size, StringList *types);
/* A new string of at most 63 characters; the caller frees it. */
char *ChooseJvmType(const StringList *types, const char *requestedType);
int LoadClassicJvm(const char *directory, JniEntryPoints *entryPoints);
int LoadTypedJvm(const char *directory, const char *configDirectory, const char *type,
                 JniEntryPoints *entryPoints);
int LoadJNILibrary(const char *path, JniEntryPoints *entryPoints);

/* RunExitCode values. */
enum RunExitCode {
    RUN_OK = 0,
    RUN_NO_RUNTIME = 1,
    RUN_NO_MANIFEST_MAIN = 2,
    RUN_NO_VM = 3,
    RUN_NO_MAIN_CLASS = 4,
    RUN_NO_MAIN_METHOD = 5,
    RUN_NO_REDIRECT = 9,
};

struct VmOptionList {
    JavaVMOption *options;
    int capacity;
    int count;
};

extern JavaVM *javaVM;
extern char *mainClassName;        /* owned dotted name, or NULL */

void AddVmOption(VmOptionList *list, const char *option, void *extraInfo);
void AddUserDirOption(VmOptionList *list, const char *directory);
void AddClassPathOption(VmOptionList *list, const char *classPath);
void FreeVmOptions(VmOptionList *list);
/* Appends the "abort" hook to `list` and creates the VM for `mode` (a
 * VM_CREATING_*): 0, or 1 when JNI_CreateJavaVM failed. A VM that gives up
 * during its creation without returning is a VM not created too, through
 * JvmAbortHook. */
int CreateJvm(VmOptionList *list, JniEntryPoints *entryPoints, int mode, JNIEnv **env);
/* Creates the VM and runs the main class; `consoleHandler` is installed once
 * the VM is up, so that it sees each console event before the VM's own.
 * In the service process, `drainOutput` runs when the VM aborts the process
 * (it gave up while being created, or crashed), before the process ends, so
 * that what the VM wrote last on its way out reaches the log. */
int RunJavaApplication(PHANDLER_ROUTINE consoleHandler, void (*drainOutput)(void));
/* Appends each string of a multi-string (ended by an empty string) as an
 * option without extra information; NULL appends nothing. */
void AddMultiStringOptions(VmOptionList *list, const char *multiString);
/* "-Djava.class.path=" + CLASSPATH, or "." when it is not set. */
void AddEnvironmentClassPathOption(VmOptionList *list);

/* Whether the VM made by RunJavaApplication may be reached from another
 * thread: set once JNI_CreateJavaVM has returned, cleared once DestroyJavaVM
 * has returned. AttachToLiveJvm attaches the calling thread only while the VM
 * is live (0), else returns 1 without touching it (2 when the attach failed). */
void SetJvmLive(int live);
int AttachToLiveJvm(JNIEnv **env);

int InvokeMainClass(JNIEnv *env, const char *mainName, int archive, PHANDLER_ROUTINE consoleHandler);
/* Sets mainClassName (from the archive's Main-Class attribute with `archive`)
 * and finds the class and its static main(String[]); returns 0, 2, 4 or 5
 * after describing any pending exception and logging the failure. */
int ResolveMainClass(JNIEnv *env, const char *mainName, int archive, jclass *mainClass,
                     jmethodID *mainMethod);
jstring GetManifestMainClass(JNIEnv *env, const char *archivePath);
int NewJavaArgs(JNIEnv *env, const char *argumentList, jobjectArray *array);
jstring NewJavaString(JNIEnv *env, const char *text);
/* Owned copy with every "." replaced by "/"; the caller frees it. */
char *ClassNameToPath(const char *className);

/* Opens the client ends of the service's two pipes and makes them the
 * process's standard output and error, for the C runtimes already started and
 * (through SetStdHandle) for those of libraries loaded later; in a detached
 * child the log's records go there too. Call before the runtime library is
 * loaded. 0, or 1 after logging. */
int PointStandardHandlesAtPipes(void);
/* System.out and System.err as print streams on the process's standard
 * output and error (the service's pipes), in the charset of the process's
 * ANSI code page. */
int RedirectStdStreams(JNIEnv *env);
/* The Java name of the charset of Windows code page `codePage` ("Cp1252",
 * "UTF-8" for 65001), as the Java runtime itself names it; into `out`. */
void JavaCharsetOfCodePage(unsigned codePage, char *out, size_t capacity);

/* What the application did, for the service's record of its end; kept by the
 * process that hosts the virtual machine (in detached mode the child, which
 * tells the service only its exit code). */
struct ApplicationOutcome {
    std::atomic<int> creatingVm;  /* a VM_CREATING_* while JNI_CreateJavaVM runs */
    std::atomic<int> vmAborted;   /* the virtual machine gave up during its creation */
    std::atomic<int> mainCalled;  /* main has been called */
    std::atomic<int> mainThrew;   /* main ended with an exception */
    std::atomic<int> exitCalled;  /* the runtime called the exit hook, with: */
    std::atomic<int> exitStatus;
};
extern ApplicationOutcome applicationOutcome;
/* Who creates the VM: the service process, the detached child, or the probe of /install. */
enum { VM_CREATING_IN_PROCESS = 1, VM_CREATING_IN_CHILD = 2, VM_CREATING_PROBE = 3 };

/* Notes the status in applicationOutcome, then signals EXIT0 or EXIT1. */
void JNICALL JvmExitHook(jint status);
/* The JNI "abort" hook. A virtual machine that gives up during its creation,
 * past the parsing of its options (a module it cannot resolve, a heap it
 * cannot set up), does not return from JNI_CreateJavaVM: it calls this hook,
 * then ends the process with status 1, which here would mean that no runtime
 * was found. The hook makes it RUN_NO_VM after "Could not create the Java
 * virtual machine": the probe and a detached child end with that code at
 * once; in process it runs jvmAbortDrain, so that what the VM wrote last
 * reaches the log, notes it in applicationOutcome, signals EXIT1 and pauses
 * as JvmExitHook does, so that the service can stop with that reason first.
 * A live VM that aborts (a crash) ends the process after jvmAbortDrain. */
void JNICALL JvmAbortHook(void);
/* Set in the service process before the VM is created; bounded. */
extern void (*jvmAbortDrain)(void);
DWORD WINAPI StartupObserverThread(LPVOID methodName);
int ObserveStartupProgress(const char *methodName);
int PollStartupMethod(JNIEnv *env, const char *methodName);
int JavaShutdown(void);
int InvokeShutdownMethod(JNIEnv *env, const char *methodName);
int InvokeSystemExit(JNIEnv *env);

#endif

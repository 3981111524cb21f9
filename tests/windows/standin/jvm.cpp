/*
 * A stand-in for the Java runtime library (jvm.dll), for running the Windows
 * build under Wine without a Java runtime for Windows. A test fixture only:
 * never shipped or installed.
 *
 * It implements the JNI invocation interface and exactly the JNIEnv and
 * JavaVM functions the program calls. Every other slot of the function tables
 * writes "JNI function <index> not implemented by the stand-in" to standard
 * error, the current System.err and standin-failures.log beside this library,
 * and ends the process with MISSING_ENV_BASE or MISSING_VM_BASE plus the
 * slot's index, so a new JNI call in the program fails its test clearly.
 *
 * The "Java application" is scripted by -D options:
 *   -Dstandin.out=<line>, -Dstandin.err=<line>  printed by main (may repeat)
 *   -Dstandin.main=block|return|throw|exit:<n>|file:<path>|echo:<path>
 *        block (default): until the shutdown method releases it
 *        file: until that file exists (or a release)
 *        echo: as block, and whenever that file exists its lines are
 *        printed on System.out and the file is deleted
 *   -Dstandin.vmwarning=<text>  printed while the VM is created as HotSpot
 *        prints a warning: "Stand-in VM warning: " as the VM's own messages
 *        go (through the vfprintf hook when one is given), the text and the
 *        line end through the C runtime's stderr
 *   -Dstandin.vmout=<line>  printed while the VM is created on descriptor 1
 *        of the C runtime, as HotSpot prints -verbose output
 *   -Dstandin.ucrt=<line>   printed while the VM is created on descriptor 2
 *        of the universal C runtime (ucrtbase.dll), which a current jvm.dll
 *        uses and HotSpot writes its console output to
 *   -Dstandin.startup=<n>    any static ()Z method answers true n times, then false
 *   -Dstandin.shutdown=release|exit|hang|throw   any static ()V method does that
 *   -Dstandin.create=abort   JNI_CreateJavaVM gives up after taking its options,
 *        as a real VM does for a module it cannot resolve: its message, the
 *        "abort" hook, then the end of the process with status 1
 *   -Dstandin.trace=<path>   one line per JNI call appended to that file
 *   -Dstandin.load=<path>    main loads that library as the JVM loads one of
 *        its own, and prints "loaded <path>: <its report>" (library.cpp), or
 *        the UnsatisfiedLinkError that the JVM would throw
 * main also prints each of its arguments as "argument: <value>".
 * A class exists when <name>.class is in a directory of the class path (the
 * last -Djava.class.path option wins, entries split at ';'), or its name
 * appears in an archive on it; an archive's main class is the value of its
 * "Main-Class:" line, so the archive must store its manifest uncompressed.
 *
 * Like a real jvm.dll it imports vcruntime140.dll, which it expects in the
 * runtime's bin directory (runtime.cpp), not beside itself.
 */
#include <windows.h>
/* This library defines the invocation API that jni.h declares as imported. */
#include <jni_md.h>
#undef JNIIMPORT
#define JNIIMPORT JNIEXPORT
#include <jni.h>

#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <utility>

#include "runtime.h"

enum { MISSING_ENV_BASE = 0x4A4E0000, MISSING_VM_BASE = 0x4A560000 };

/* ---- objects ---------------------------------------------------------- */

enum ClassKind {
    K_STRING, K_FILE_OUT, K_PRINT, K_SYSTEM, K_JAR, K_MANIFEST, K_ATTRIBUTES, K_FILE_DESCRIPTOR,
    K_BYTE_ARRAY, K_OBJECT_ARRAY, K_THROWABLE, K_APPLICATION
};

struct ClassInfo {
    ClassKind kind;
    const char *name;
};

/* Every jobject and jclass is one of these; nothing is ever freed. */
struct Object {
    const ClassInfo *type;
    ClassInfo classInfo;   /* when this object is itself a class */
    char *text;            /* string contents, exception message, manifest value */
    unsigned char *bytes;  /* byte array */
    Object **items;        /* object array */
    jsize length;
    HANDLE handle;         /* file output stream, print stream */
};

static const ClassInfo classClass = {K_APPLICATION, "java/lang/Class"};
static const ClassInfo builtinClasses[] = {
    {K_STRING, "java/lang/String"},
    {K_FILE_OUT, "java/io/FileOutputStream"},
    {K_PRINT, "java/io/PrintStream"},
    {K_SYSTEM, "java/lang/System"},
    {K_JAR, "java/util/jar/JarFile"},
    {K_MANIFEST, "java/util/jar/Manifest"},
    {K_ATTRIBUTES, "java/util/jar/Attributes"},
    {K_FILE_DESCRIPTOR, "java/io/FileDescriptor"},
};
static const ClassInfo byteArrayClass = {K_BYTE_ARRAY, "[B"};
static const ClassInfo objectArrayClass = {K_OBJECT_ARRAY, "[Ljava/lang/Object;"};

static void *Allocate(size_t size) {
    void *block = calloc(1, size == 0 ? 1 : size);
    if (block == nullptr) ExitProcess(1);
    return block;
}

static char *Duplicate(const char *text, size_t length) {
    char *copy = static_cast<char *>(Allocate(length + 1));
    memcpy(copy, text, length);
    return copy;
}

static char *Duplicate(const char *text) { return Duplicate(text, strlen(text)); }

static Object *NewInstance(const ClassInfo *type) {
    Object *object = static_cast<Object *>(Allocate(sizeof(Object)));
    object->type = type;
    return object;
}

static Object *NewClass(ClassKind kind, const char *name) {
    Object *object = NewInstance(&classClass);
    object->classInfo.kind = kind;
    object->classInfo.name = Duplicate(name);
    return object;
}

static Object *NewString(const char *text) {
    Object *object = NewInstance(&builtinClasses[0]);
    object->text = Duplicate(text);
    return object;
}

/* ---- the VM's state --------------------------------------------------- */

struct Script {
    char *classPath;
    char *mainMode;
    char *shutdownMode;
    int abortCreation;
    int startupAnswers;   /* -1: no startup method */
    char *tracePath;
    char *loadPath;
    char *vmWarning;
    char *vmOut;
    char *ucrtLine;
    char **lines[2];      /* 0 out, 1 err: NULL-terminated */
    int lineCounts[2];
};

static Script script;
static JNIEnv_ sharedEnv;
static JavaVM_ sharedVm;
static int vmCreated;
typedef void(JNICALL *ExitHookFunction)(jint);
static ExitHookFunction exitHook;
typedef void(JNICALL *AbortHookFunction)(void);
static AbortHookFunction abortHook;
/* The "vfprintf" option's hook: where a real VM prints its own messages. */
typedef jint(JNICALL *VfprintfHookFunction)(FILE *, const char *, va_list);
static VfprintfHookFunction vfprintfHook;
static HANDLE releaseEvent;
static HANDLE streams[2];
/* FileDescriptor.out and .err: the standard handles when the VM was created. */
static HANDLE descriptors[2];
static CRITICAL_SECTION stateLock;
static volatile LONG attachedThreads;
static HANDLE traceFile = INVALID_HANDLE_VALUE;
static HMODULE selfModule;
static __thread Object *pendingException;
static __thread int threadAttached;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        selfModule = instance;
        InitializeCriticalSection(&stateLock);
    }
    return TRUE;
}

static void WriteAll(HANDLE handle, const char *text, size_t length) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(handle, text, (DWORD)length, &written, nullptr);
}

static void Trace(const char *format, ...) {
    if (traceFile == INVALID_HANDLE_VALUE) return;
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    int length = vsnprintf(line, sizeof line - 2, format, arguments);
    va_end(arguments);
    if (length < 0) return;
    if (length > (int)sizeof line - 3) length = sizeof line - 3;
    strcpy(line + length, "\r\n");
    EnterCriticalSection(&stateLock);
    WriteAll(traceFile, line, (size_t)length + 2);
    LeaveCriticalSection(&stateLock);
}

/* A line with Java's line separator on System.out (0) or System.err (1). */
static void PrintLine(int stream, const char *text) {
    HANDLE handle = streams[stream] != nullptr
                        ? streams[stream]
                        : GetStdHandle(stream == 0 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    size_t length = strlen(text);
    char *line = static_cast<char *>(Allocate(length + 3));
    memcpy(line, text, length);
    memcpy(line + length, "\r\n", 2);
    WriteAll(handle, line, length + 2);
    free(line);
}

static void Throw(const char *className, const char *message) {
    Object *exception = NewInstance(nullptr);
    exception->classInfo.kind = K_THROWABLE;
    exception->classInfo.name = Duplicate(className);
    exception->type = &exception->classInfo;
    exception->text = Duplicate(message);
    pendingException = exception;
    Trace("  throws %s: %s", className, message);
}

/* A line in standin-failures.log beside this library, which the test reads. */
static void RecordFailure(const char *text) {
    Trace("%s", text);
    char path[MAX_PATH + 32];
    DWORD length = GetModuleFileNameA(selfModule, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\') length--;
    strcpy(path + length, "standin-failures.log");
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    WriteAll(file, text, strlen(text));
    WriteAll(file, "\r\n", 2);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

[[noreturn]] static void FailMissing(const char *table, int index, int base) {
    char text[160];
    snprintf(text, sizeof text, "%s function %d not implemented by the stand-in", table, index);
    PrintLine(1, text);
    if (streams[1] != nullptr) {
        HANDLE saved = streams[1];
        streams[1] = nullptr;
        PrintLine(1, text);
        streams[1] = saved;
    }
    RecordFailure(text);
    ExitProcess((UINT)(base + index));
}

template <int N> static void MissingEnvFunction(void) { FailMissing("JNIEnv", N, MISSING_ENV_BASE); }
template <int N> static void MissingVmFunction(void) { FailMissing("JavaVM", N, MISSING_VM_BASE); }

template <size_t... N> static void FillMissingEnv(void **slots, std::index_sequence<N...>) {
    void *stubs[] = {reinterpret_cast<void *>(&MissingEnvFunction<(int)N>)...};
    for (size_t i = 4; i < sizeof...(N); i++) slots[i] = stubs[i];
}

template <size_t... N> static void FillMissingVm(void **slots, std::index_sequence<N...>) {
    void *stubs[] = {reinterpret_cast<void *>(&MissingVmFunction<(int)N>)...};
    for (size_t i = 3; i < sizeof...(N); i++) slots[i] = stubs[i];
}

/* ---- the application's classes and methods ----------------------------- */

enum MethodKind {
    M_STRING_INIT, M_FILE_OUT_INIT, M_FILE_OUT_FD_INIT, M_PRINT_INIT, M_PRINT_CHARSET_INIT, M_SET_OUT, M_SET_ERR, M_EXIT, M_JAR_INIT,
    M_GET_MANIFEST, M_GET_MAIN_ATTRIBUTES, M_GET_VALUE, M_MAIN, M_STARTUP, M_SHUTDOWN
};

struct MethodInfo {
    MethodKind kind;
    ClassKind owner;
    const char *name;  /* NULL: any name */
    const char *signature;
    int isStatic;
};

static const MethodInfo methods[] = {
    {M_STRING_INIT, K_STRING, "<init>", "([B)V", 0},
    {M_FILE_OUT_INIT, K_FILE_OUT, "<init>", "(Ljava/lang/String;)V", 0},
    {M_FILE_OUT_FD_INIT, K_FILE_OUT, "<init>", "(Ljava/io/FileDescriptor;)V", 0},
    {M_PRINT_INIT, K_PRINT, "<init>", "(Ljava/io/OutputStream;)V", 0},
    {M_PRINT_CHARSET_INIT, K_PRINT, "<init>", "(Ljava/io/OutputStream;ZLjava/lang/String;)V", 0},
    {M_SET_OUT, K_SYSTEM, "setOut", "(Ljava/io/PrintStream;)V", 1},
    {M_SET_ERR, K_SYSTEM, "setErr", "(Ljava/io/PrintStream;)V", 1},
    {M_EXIT, K_SYSTEM, "exit", "(I)V", 1},
    {M_JAR_INIT, K_JAR, "<init>", "(Ljava/lang/String;)V", 0},
    {M_GET_MANIFEST, K_JAR, "getManifest", "()Ljava/util/jar/Manifest;", 0},
    {M_GET_MAIN_ATTRIBUTES, K_MANIFEST, "getMainAttributes", "()Ljava/util/jar/Attributes;", 0},
    {M_GET_VALUE, K_ATTRIBUTES, "getValue", "(Ljava/lang/String;)Ljava/lang/String;", 0},
    {M_MAIN, K_APPLICATION, "main", "([Ljava/lang/String;)V", 1},
    {M_STARTUP, K_APPLICATION, nullptr, "()Z", 1},
    {M_SHUTDOWN, K_APPLICATION, nullptr, "()V", 1},
};

static int MethodScripted(const MethodInfo *method) {
    if (method->kind == M_STARTUP) return script.startupAnswers >= 0;
    if (method->kind == M_SHUTDOWN) return script.shutdownMode != nullptr;
    return 1;
}

static const MethodInfo *LookUpMethod(jclass type, const char *name, const char *signature, int isStatic) {
    Object *owner = reinterpret_cast<Object *>(type);
    for (const MethodInfo &method : methods) {
        if (method.owner != owner->classInfo.kind || method.isStatic != isStatic) continue;
        if (method.name != nullptr && strcmp(method.name, name) != 0) continue;
        if (strcmp(method.signature, signature) != 0 || !MethodScripted(&method)) continue;
        return &method;
    }
    Throw("java.lang.NoSuchMethodError", name);
    return nullptr;
}

static char *ReadWholeFile(const char *path, size_t *size) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    DWORD length = GetFileSize(file, nullptr);
    char *content = static_cast<char *>(Allocate(length + 1));
    DWORD read = 0;
    ReadFile(file, content, length, &read, nullptr);
    CloseHandle(file);
    *size = read;
    return content;
}

static int ContainsBytes(const char *content, size_t size, const char *text) {
    size_t length = strlen(text);
    for (size_t i = 0; i + length <= size; i++)
        if (memcmp(content + i, text, length) == 0) return 1;
    return 0;
}

static int ArchiveHolds(const char *archive, const char *entry) {
    size_t size = 0;
    char *content = ReadWholeFile(archive, &size);
    if (content == nullptr) return 0;
    int found = ContainsBytes(content, size, entry);
    free(content);
    return found;
}

/* Whether name.class is in a class path entry. */
static int ClassPathHolds(const char *name) {
    if (script.classPath == nullptr) return 0;
    char entry[1024];
    char *path = script.classPath;
    for (;;) {
        size_t length = strcspn(path, ";");
        if (length > 0 && length < 512) {
            memcpy(entry, path, length);
            entry[length] = '\0';
            DWORD attributes = GetFileAttributesA(entry);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                snprintf(entry + length, sizeof entry - length, "\\%s.class", name);
                for (char *c = entry + length; *c != '\0'; c++)
                    if (*c == '/') *c = '\\';
                if (GetFileAttributesA(entry) != INVALID_FILE_ATTRIBUTES) return 1;
            } else if (attributes != INVALID_FILE_ATTRIBUTES) {
                char wanted[600];
                snprintf(wanted, sizeof wanted, "%s.class", name);
                if (ArchiveHolds(entry, wanted)) return 1;
            }
        }
        if (path[length] == '\0') return 0;
        path += length + 1;
    }
}

/* The text after "Main-Class:" up to the line's end, or NULL. */
static char *FindMainClassLine(const char *content, size_t size) {
    const char *key = "Main-Class:";
    size_t keyLength = strlen(key);
    for (size_t i = 0; i + keyLength <= size; i++) {
        if (memcmp(content + i, key, keyLength) != 0) continue;
        size_t start = i + keyLength;
        while (start < size && content[start] == ' ') start++;
        size_t end = start;
        while (end < size && content[end] != '\r' && content[end] != '\n') end++;
        return Duplicate(content + start, end - start);
    }
    return nullptr;
}

/* ---- the scripted application and System.exit -------------------------- */

struct ExitRequest {
    jint status;
};

static DWORD WINAPI RunExitHook(LPVOID parameter) {
    exitHook(static_cast<ExitRequest *>(parameter)->status);
    return 0;
}

/* As the VM does: the hook runs on a thread of the VM's own, then the process ends. */
[[noreturn]] static void ExitVm(jint status) {
    Trace("  exit %d", (int)status);
    if (exitHook != nullptr) {
        ExitRequest *request = static_cast<ExitRequest *>(Allocate(sizeof(ExitRequest)));
        request->status = status;
        HANDLE thread = CreateThread(nullptr, 0, RunExitHook, request, 0, nullptr);
        if (thread != nullptr) WaitForSingleObject(thread, INFINITE);
    }
    ExitProcess((UINT)status);
}

/* As the JVM loads a library of its own (java.dll, net.dll): LoadLibraryA on
 * the full path, no flags. */
static void LoadScriptedLibrary(const char *path) {
    char line[2 * MAX_PATH + 1200];
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        snprintf(line, sizeof line, "java.lang.UnsatisfiedLinkError: %.1000s: Can't find dependent libraries (%lu)",
                 path, GetLastError());
        PrintLine(1, line);
        return;
    }
    typedef const char *(*ReportFunction)(void);
    ReportFunction report =
        reinterpret_cast<ReportFunction>(reinterpret_cast<void *>(GetProcAddress(library, "StandinLibraryReport")));
    snprintf(line, sizeof line, "loaded %.1000s: %s", path, report != nullptr ? report() : "(no report)");
    PrintLine(0, line);
}

/* Prints each line of the file on System.out and deletes the file. */
static void EchoFile(const char *path) {
    size_t size = 0;
    char *content = ReadWholeFile(path, &size);
    if (content == nullptr) return;
    DeleteFileA(path);
    for (char *line = content; *line != '\0';) {
        size_t length = strcspn(line, "\r\n");
        char end = line[length];
        line[length] = '\0';
        if (length > 0) PrintLine(0, line);
        line += length + (end != '\0' ? 1 : 0);
    }
    free(content);
}

static void RunMain(Object *arguments) {
    for (int stream = 0; stream < 2; stream++)
        for (int i = 0; i < script.lineCounts[stream]; i++) PrintLine(stream, script.lines[stream][i]);
    for (jsize i = 0; arguments != nullptr && i < arguments->length; i++) {
        char line[1100];
        snprintf(line, sizeof line, "argument: %.1000s", arguments->items[i] ? arguments->items[i]->text : "null");
        PrintLine(0, line);
    }
    if (script.loadPath != nullptr) LoadScriptedLibrary(script.loadPath);
    const char *mode = script.mainMode != nullptr ? script.mainMode : "block";
    if (strcmp(mode, "return") == 0) return;
    if (strcmp(mode, "throw") == 0) {
        Throw("java.lang.IllegalStateException", "main failed as scripted");
        return;
    }
    if (strncmp(mode, "exit:", 5) == 0) ExitVm(atoi(mode + 5));
    if (strncmp(mode, "file:", 5) == 0) {
        while (GetFileAttributesA(mode + 5) == INVALID_FILE_ATTRIBUTES)
            if (WaitForSingleObject(releaseEvent, 100) == WAIT_OBJECT_0) return;
        return;
    }
    if (strncmp(mode, "echo:", 5) == 0) {
        while (WaitForSingleObject(releaseEvent, 100) != WAIT_OBJECT_0) EchoFile(mode + 5);
        return;
    }
    WaitForSingleObject(releaseEvent, INFINITE);
}

static void RunShutdown(void) {
    const char *mode = script.shutdownMode;
    if (strcmp(mode, "exit") == 0) ExitVm(0);
    if (strcmp(mode, "hang") == 0) Sleep(INFINITE);
    if (strcmp(mode, "throw") == 0) {
        Throw("java.lang.IllegalStateException", "shutdown failed as scripted");
        return;
    }
    SetEvent(releaseEvent);
}

static jboolean AnswerStartup(void) {
    EnterCriticalSection(&stateLock);
    jboolean starting = script.startupAnswers > 0 ? JNI_TRUE : JNI_FALSE;
    if (script.startupAnswers > 0) script.startupAnswers--;
    LeaveCriticalSection(&stateLock);
    return starting;
}

/* ---- JNIEnv functions --------------------------------------------------- */

static Object *AsObject(jobject object) { return reinterpret_cast<Object *>(object); }
static jobject AsJava(Object *object) { return reinterpret_cast<jobject>(object); }

static jclass JNICALL FindClass(JNIEnv *, const char *name) {
    Trace("FindClass %s", name);
    for (const ClassInfo &builtin : builtinClasses)
        if (strcmp(builtin.name, name) == 0) return reinterpret_cast<jclass>(NewClass(builtin.kind, name));
    if (ClassPathHolds(name)) return reinterpret_cast<jclass>(NewClass(K_APPLICATION, name));
    Throw("java.lang.NoClassDefFoundError", name);
    return nullptr;
}

static jthrowable JNICALL ExceptionOccurred(JNIEnv *) {
    Trace("ExceptionOccurred");
    return reinterpret_cast<jthrowable>(pendingException);
}

static void JNICALL ExceptionDescribe(JNIEnv *) {
    Trace("ExceptionDescribe");
    if (pendingException == nullptr) return;
    char line[1200];
    snprintf(line, sizeof line, "%s: %.1000s", pendingException->classInfo.name, pendingException->text);
    PrintLine(1, line);
    Trace("  %s", line);
    pendingException = nullptr;
}

static void JNICALL ExceptionClear(JNIEnv *) {
    Trace("ExceptionClear");
    pendingException = nullptr;
}

static void JNICALL DeleteLocalRef(JNIEnv *, jobject) { Trace("DeleteLocalRef"); }

static jclass JNICALL GetObjectClass(JNIEnv *, jobject object) {
    const ClassInfo *type = AsObject(object)->type;
    Trace("GetObjectClass %s", type->name);
    return reinterpret_cast<jclass>(NewClass(type->kind, type->name));
}

static jmethodID JNICALL GetMethodID(JNIEnv *, jclass type, const char *name, const char *signature) {
    Trace("GetMethodID %s %s", name, signature);
    return reinterpret_cast<jmethodID>(const_cast<MethodInfo *>(LookUpMethod(type, name, signature, 0)));
}

static jmethodID JNICALL GetStaticMethodID(JNIEnv *, jclass type, const char *name, const char *signature) {
    Trace("GetStaticMethodID %s %s", name, signature);
    return reinterpret_cast<jmethodID>(const_cast<MethodInfo *>(LookUpMethod(type, name, signature, 1)));
}

static const MethodInfo *AsMethod(jmethodID method) { return reinterpret_cast<const MethodInfo *>(method); }

/* FileDescriptor.out (0) and .err (1). */
static const int standardFields[2] = {0, 1};

static jfieldID JNICALL GetStaticFieldID(JNIEnv *, jclass type, const char *name, const char *signature) {
    Trace("GetStaticFieldID %s %s", name, signature);
    if (reinterpret_cast<Object *>(type)->classInfo.kind == K_FILE_DESCRIPTOR &&
        strcmp(signature, "Ljava/io/FileDescriptor;") == 0) {
        if (strcmp(name, "out") == 0) return reinterpret_cast<jfieldID>(const_cast<int *>(&standardFields[0]));
        if (strcmp(name, "err") == 0) return reinterpret_cast<jfieldID>(const_cast<int *>(&standardFields[1]));
    }
    Throw("java.lang.NoSuchFieldError", name);
    return nullptr;
}

static jobject JNICALL GetStaticObjectField(JNIEnv *, jclass, jfieldID field) {
    int stream = *reinterpret_cast<const int *>(field);
    Trace("GetStaticObjectField %d", stream);
    Object *descriptor = NewInstance(&builtinClasses[K_FILE_DESCRIPTOR]);
    descriptor->handle = descriptors[stream];
    return AsJava(descriptor);
}

/* The charset the program asks for must be that of the process's code page,
 * as the Java runtime names it; a mismatch is recorded as a failure. */
static void CheckCharset(const char *charset) {
    UINT codePage = GetACP();
    char expected[32];
    if (codePage == CP_UTF8) snprintf(expected, sizeof expected, "UTF-8");
    else snprintf(expected, sizeof expected, "Cp%u", codePage);
    Trace("  charset %s, code page %u", charset, codePage);
    if (strcmp(charset, expected) == 0) return;
    char text[160];
    snprintf(text, sizeof text, "PrintStream charset %.40s is not %s of code page %u", charset, expected, codePage);
    RecordFailure(text);
}

/* FileOutputStream(String), as the JDK opens a file for writing on Windows. */
static Object *OpenFileOutputStream(Object *path) {
    HANDLE handle = CreateFileA(path->text, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        char message[700];
        snprintf(message, sizeof message, "%.600s (error %lu)", path->text, GetLastError());
        Throw("java.io.FileNotFoundException", message);
        return nullptr;
    }
    Object *stream = NewInstance(&builtinClasses[1]);
    stream->handle = handle;
    return stream;
}

static Object *OpenJarFile(Object *path) {
    size_t size = 0;
    char *content = ReadWholeFile(path->text, &size);
    if (content == nullptr) {
        Throw("java.io.FileNotFoundException", path->text);
        return nullptr;
    }
    Object *jar = NewInstance(&builtinClasses[4]);
    jar->text = FindMainClassLine(content, size);
    free(content);
    return jar;
}

static jobject JNICALL NewObjectV(JNIEnv *, jclass, jmethodID methodId, va_list arguments) {
    const MethodInfo *method = AsMethod(methodId);
    Trace("NewObjectV %s", builtinClasses[method->owner].name);
    Object *argument = static_cast<Object *>(va_arg(arguments, void *));
    switch (method->kind) {
    case M_STRING_INIT: {
        Object *string = NewInstance(&builtinClasses[0]);
        string->text = Duplicate(reinterpret_cast<char *>(argument->bytes), (size_t)argument->length);
        return AsJava(string);
    }
    case M_FILE_OUT_INIT: return AsJava(OpenFileOutputStream(argument));
    case M_FILE_OUT_FD_INIT: {
        Object *stream = NewInstance(&builtinClasses[1]);
        stream->handle = argument->handle;
        return AsJava(stream);
    }
    case M_PRINT_CHARSET_INIT:
        (void)va_arg(arguments, int);
        CheckCharset(static_cast<Object *>(va_arg(arguments, void *))->text);
        /* fall through */
    case M_PRINT_INIT: {
        Object *stream = NewInstance(&builtinClasses[2]);
        stream->handle = argument->handle;
        return AsJava(stream);
    }
    case M_JAR_INIT: return AsJava(OpenJarFile(argument));
    default: Throw("java.lang.InstantiationError", "not a constructor"); return nullptr;
    }
}

static jobject JNICALL CallObjectMethodV(JNIEnv *, jobject target, jmethodID methodId, va_list arguments) {
    const MethodInfo *method = AsMethod(methodId);
    Trace("CallObjectMethodV %s", method->name);
    Object *self = AsObject(target);
    switch (method->kind) {
    case M_GET_MANIFEST: {
        Object *manifest = NewInstance(&builtinClasses[5]);
        manifest->text = self->text;
        return AsJava(manifest);
    }
    case M_GET_MAIN_ATTRIBUTES: {
        Object *attributes = NewInstance(&builtinClasses[6]);
        attributes->text = self->text;
        return AsJava(attributes);
    }
    case M_GET_VALUE: {
        Object *key = static_cast<Object *>(va_arg(arguments, void *));
        if (self->text == nullptr || strcmp(key->text, "Main-Class") != 0) return nullptr;
        return AsJava(NewString(self->text));
    }
    default: Throw("java.lang.IncompatibleClassChangeError", method->signature); return nullptr;
    }
}

static void JNICALL CallStaticVoidMethodV(JNIEnv *, jclass type, jmethodID methodId, va_list arguments) {
    const MethodInfo *method = AsMethod(methodId);
    Trace("CallStaticVoidMethodV %s.%s", reinterpret_cast<Object *>(type)->classInfo.name,
          method->name ? method->name : "(scripted)");
    switch (method->kind) {
    case M_SET_OUT: streams[0] = static_cast<Object *>(va_arg(arguments, void *))->handle; return;
    case M_SET_ERR: streams[1] = static_cast<Object *>(va_arg(arguments, void *))->handle; return;
    case M_EXIT: ExitVm(va_arg(arguments, jint));
    case M_MAIN: RunMain(static_cast<Object *>(va_arg(arguments, void *))); return;
    case M_SHUTDOWN: RunShutdown(); return;
    default: Throw("java.lang.IncompatibleClassChangeError", method->signature); return;
    }
}

static jboolean JNICALL CallStaticBooleanMethodV(JNIEnv *, jclass, jmethodID methodId, va_list) {
    const MethodInfo *method = AsMethod(methodId);
    Trace("CallStaticBooleanMethodV");
    if (method->kind != M_STARTUP) {
        Throw("java.lang.IncompatibleClassChangeError", method->signature);
        return JNI_FALSE;
    }
    return AnswerStartup();
}

static const char *JNICALL GetStringUTFChars(JNIEnv *, jstring string, jboolean *isCopy) {
    Trace("GetStringUTFChars");
    if (isCopy != nullptr) *isCopy = JNI_TRUE;
    return Duplicate(AsObject(string)->text);
}

static void JNICALL ReleaseStringUTFChars(JNIEnv *, jstring, const char *characters) {
    Trace("ReleaseStringUTFChars");
    free(const_cast<char *>(characters));
}

static jbyteArray JNICALL NewByteArray(JNIEnv *, jsize length) {
    Trace("NewByteArray %d", (int)length);
    Object *array = NewInstance(&byteArrayClass);
    array->bytes = static_cast<unsigned char *>(Allocate((size_t)length));
    array->length = length;
    return reinterpret_cast<jbyteArray>(array);
}

static void JNICALL SetByteArrayRegion(JNIEnv *, jbyteArray array, jsize start, jsize length, const jbyte *bytes) {
    Trace("SetByteArrayRegion");
    Object *target = AsObject(array);
    if (start < 0 || length < 0 || start + length > target->length) {
        Throw("java.lang.ArrayIndexOutOfBoundsException", "SetByteArrayRegion");
        return;
    }
    memcpy(target->bytes + start, bytes, (size_t)length);
}

static jobjectArray JNICALL NewObjectArray(JNIEnv *, jsize length, jclass, jobject initial) {
    Trace("NewObjectArray %d", (int)length);
    Object *array = NewInstance(&objectArrayClass);
    array->items = static_cast<Object **>(Allocate(sizeof(Object *) * (size_t)length));
    array->length = length;
    for (jsize i = 0; i < length; i++) array->items[i] = AsObject(initial);
    return reinterpret_cast<jobjectArray>(array);
}

static void JNICALL SetObjectArrayElement(JNIEnv *, jobjectArray array, jsize index, jobject value) {
    Trace("SetObjectArrayElement %d", (int)index);
    Object *target = AsObject(array);
    if (index < 0 || index >= target->length) {
        Throw("java.lang.ArrayIndexOutOfBoundsException", "SetObjectArrayElement");
        return;
    }
    target->items[index] = AsObject(value);
}

static jboolean JNICALL ExceptionCheck(JNIEnv *) {
    Trace("ExceptionCheck");
    return pendingException != nullptr ? JNI_TRUE : JNI_FALSE;
}

/* ---- JavaVM functions --------------------------------------------------- */

static jint JNICALL AttachCurrentThread(JavaVM *, void **env, void *) {
    Trace("AttachCurrentThread");
    if (!vmCreated) return JNI_ERR;
    if (!threadAttached) {
        threadAttached = 1;
        InterlockedIncrement(&attachedThreads);
    }
    *env = &sharedEnv;
    return JNI_OK;
}

static jint JNICALL DetachCurrentThread(JavaVM *) {
    Trace("DetachCurrentThread");
    if (!threadAttached) return JNI_EDETACHED;
    threadAttached = 0;
    InterlockedDecrement(&attachedThreads);
    return JNI_OK;
}

/* Returns once the calling thread is the last one attached, as the VM waits
 * for its other threads. */
static jint JNICALL DestroyJavaVM(JavaVM *) {
    Trace("DestroyJavaVM");
    while (attachedThreads > 1) Sleep(10);
    threadAttached = 0;
    attachedThreads = 0;
    vmCreated = 0;
    exitHook = nullptr;
    if (traceFile != INVALID_HANDLE_VALUE) CloseHandle(traceFile);
    traceFile = INVALID_HANDLE_VALUE;
    return JNI_OK;
}

static void FillTables(void) {
    JNINativeInterface_ *env = static_cast<JNINativeInterface_ *>(Allocate(sizeof(JNINativeInterface_)));
    FillMissingEnv(reinterpret_cast<void **>(env),
                   std::make_index_sequence<sizeof(JNINativeInterface_) / sizeof(void *)>());
    env->FindClass = FindClass;
    env->ExceptionOccurred = ExceptionOccurred;
    env->ExceptionDescribe = ExceptionDescribe;
    env->ExceptionClear = ExceptionClear;
    env->DeleteLocalRef = DeleteLocalRef;
    env->NewObjectV = NewObjectV;
    env->GetObjectClass = GetObjectClass;
    env->GetMethodID = GetMethodID;
    env->CallObjectMethodV = CallObjectMethodV;
    env->GetStaticMethodID = GetStaticMethodID;
    env->GetStaticFieldID = GetStaticFieldID;
    env->GetStaticObjectField = GetStaticObjectField;
    env->CallStaticBooleanMethodV = CallStaticBooleanMethodV;
    env->CallStaticVoidMethodV = CallStaticVoidMethodV;
    env->GetStringUTFChars = GetStringUTFChars;
    env->ReleaseStringUTFChars = ReleaseStringUTFChars;
    env->NewObjectArray = NewObjectArray;
    env->SetObjectArrayElement = SetObjectArrayElement;
    env->NewByteArray = NewByteArray;
    env->SetByteArrayRegion = SetByteArrayRegion;
    env->ExceptionCheck = ExceptionCheck;
    sharedEnv.functions = env;

    JNIInvokeInterface_ *vm = static_cast<JNIInvokeInterface_ *>(Allocate(sizeof(JNIInvokeInterface_)));
    FillMissingVm(reinterpret_cast<void **>(vm),
                  std::make_index_sequence<sizeof(JNIInvokeInterface_) / sizeof(void *)>());
    vm->DestroyJavaVM = DestroyJavaVM;
    vm->AttachCurrentThread = AttachCurrentThread;
    vm->DetachCurrentThread = DetachCurrentThread;
    sharedVm.functions = vm;
}

/* ---- options and the invocation API ------------------------------------ */

static int StartsWith(const char *text, const char *prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

static void AddLine(int stream, const char *text) {
    script.lines[stream] = static_cast<char **>(
        realloc(script.lines[stream], sizeof(char *) * (size_t)(script.lineCounts[stream] + 1)));
    if (script.lines[stream] == nullptr) ExitProcess(1);
    script.lines[stream][script.lineCounts[stream]++] = Duplicate(text);
}

static void Replace(char **field, const char *value) {
    free(*field);
    *field = Duplicate(value);
}

/* 0 when the option is one the VM knows. */
static int TakeOption(const JavaVMOption *option) {
    const char *text = option->optionString;
    if (strcmp(text, "exit") == 0) {
        exitHook = reinterpret_cast<ExitHookFunction>(option->extraInfo);
    } else if (strcmp(text, "abort") == 0) {
        abortHook = reinterpret_cast<AbortHookFunction>(option->extraInfo);
    } else if (strcmp(text, "vfprintf") == 0) {
        vfprintfHook = reinterpret_cast<VfprintfHookFunction>(option->extraInfo);
    } else if (strcmp(text, "-Dstandin.create=abort") == 0) {
        script.abortCreation = 1;
    } else if (StartsWith(text, "-Djava.class.path=")) {
        Replace(&script.classPath, text + strlen("-Djava.class.path="));
    } else if (StartsWith(text, "-Dstandin.out=")) {
        AddLine(0, text + strlen("-Dstandin.out="));
    } else if (StartsWith(text, "-Dstandin.err=")) {
        AddLine(1, text + strlen("-Dstandin.err="));
    } else if (StartsWith(text, "-Dstandin.main=")) {
        Replace(&script.mainMode, text + strlen("-Dstandin.main="));
    } else if (StartsWith(text, "-Dstandin.shutdown=")) {
        Replace(&script.shutdownMode, text + strlen("-Dstandin.shutdown="));
    } else if (StartsWith(text, "-Dstandin.startup=")) {
        script.startupAnswers = atoi(text + strlen("-Dstandin.startup="));
    } else if (StartsWith(text, "-Dstandin.trace=")) {
        Replace(&script.tracePath, text + strlen("-Dstandin.trace="));
    } else if (StartsWith(text, "-Dstandin.load=")) {
        Replace(&script.loadPath, text + strlen("-Dstandin.load="));
    } else if (StartsWith(text, "-Dstandin.vmwarning=")) {
        Replace(&script.vmWarning, text + strlen("-Dstandin.vmwarning="));
    } else if (StartsWith(text, "-Dstandin.vmout=")) {
        Replace(&script.vmOut, text + strlen("-Dstandin.vmout="));
    } else if (StartsWith(text, "-Dstandin.ucrt=")) {
        Replace(&script.ucrtLine, text + strlen("-Dstandin.ucrt="));
    } else if (!(StartsWith(text, "-D") || StartsWith(text, "-Xmx") || StartsWith(text, "-Xms") ||
                 StartsWith(text, "-Xss") || strcmp(text, "-ea") == 0 || strcmp(text, "-esa") == 0 ||
                 StartsWith(text, "-verbose"))) {
        return 1;
    }
    return 0;
}

static void ResetScript(void) {
    for (int stream = 0; stream < 2; stream++) {
        for (int i = 0; i < script.lineCounts[stream]; i++) free(script.lines[stream][i]);
        free(script.lines[stream]);
    }
    free(script.classPath);
    free(script.mainMode);
    free(script.shutdownMode);
    free(script.tracePath);
    free(script.loadPath);
    free(script.vmWarning);
    free(script.vmOut);
    free(script.ucrtLine);
    memset(&script, 0, sizeof script);
    script.startupAnswers = -1;
    exitHook = nullptr;
    vfprintfHook = nullptr;
    abortHook = nullptr;
    streams[0] = streams[1] = nullptr;
}

/* A message of the VM's own: through the vfprintf hook when one was given, as
 * a real VM prints them, else on standard error. */
static void PrintVmMessage(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (vfprintfHook != nullptr) {
        vfprintfHook(stderr, format, arguments);
    } else {
        vfprintf(stderr, format, arguments);
        fflush(stderr);
    }
    va_end(arguments);
}

/* What HotSpot prints itself while it starts, as the script asks. */
static void PrintVmOutput(void) {
    if (script.vmWarning != nullptr) {
        PrintVmMessage("%s", "Stand-in VM warning: ");
        fputs(script.vmWarning, stderr);
        fputc('\n', stderr);
    }
    if (script.vmOut != nullptr) {
        _write(1, script.vmOut, (unsigned)strlen(script.vmOut));
        _write(1, "\n", 1);
    }
    if (script.ucrtLine != nullptr) {
        HMODULE ucrt = LoadLibraryA("ucrtbase.dll");
        typedef int(__cdecl * WriteFunction)(int, const void *, unsigned);
        WriteFunction writeTo = reinterpret_cast<WriteFunction>(
            reinterpret_cast<void *>(ucrt != nullptr ? GetProcAddress(ucrt, "_write") : nullptr));
        if (writeTo == nullptr) {
            RecordFailure("ucrtbase.dll or its _write cannot be loaded");
            return;
        }
        writeTo(2, script.ucrtLine, (unsigned)strlen(script.ucrtLine));
        writeTo(2, "\n", 1);
    }
}

static void OpenTrace(void) {
    if (script.tracePath == nullptr) return;
    traceFile = CreateFileA(script.tracePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

extern "C" jint JNICALL JNI_GetDefaultJavaVMInitArgs(void *arguments) {
    JavaVMInitArgs *initArgs = static_cast<JavaVMInitArgs *>(arguments);
    if (initArgs->version < JNI_VERSION_1_1 || initArgs->version > JNI_VERSION_10) return JNI_EVERSION;
    return JNI_OK;
}

extern "C" jint JNICALL JNI_CreateJavaVM(JavaVM **vm, void **env, void *arguments) {
    if (vmCreated) return JNI_EEXIST;
    const JavaVMInitArgs *initArgs = static_cast<const JavaVMInitArgs *>(arguments);
    if (initArgs->version < JNI_VERSION_1_2 || initArgs->version > JNI_VERSION_10) return JNI_EVERSION;
    ResetScript();
    for (jint i = 0; i < initArgs->nOptions; i++) {
        if (TakeOption(&initArgs->options[i]) == 0 || initArgs->ignoreUnrecognized) continue;
        PrintVmMessage("Unrecognized option: %s\nError: Could not create the Java Virtual Machine.\n",
                       initArgs->options[i].optionString);
        ResetScript();
        return JNI_ERR;
    }
    if (script.abortCreation) {
        PrintVmMessage("Error occurred during initialization of VM\nscripted to give up\n");
        if (abortHook != nullptr) abortHook();
        ExitProcess(1);
    }
    OpenTrace();
    Trace("JNI_CreateJavaVM %d options, C runtime %s", (int)initArgs->nOptions, StandinVcruntimePath());
    descriptors[0] = GetStdHandle(STD_OUTPUT_HANDLE);
    descriptors[1] = GetStdHandle(STD_ERROR_HANDLE);
    PrintVmOutput();
    if (sharedEnv.functions == nullptr) FillTables();
    if (releaseEvent == nullptr) releaseEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(releaseEvent);
    vmCreated = 1;
    threadAttached = 1;
    attachedThreads = 1;
    *vm = &sharedVm;
    *env = &sharedEnv;
    return JNI_OK;
}

extern "C" jint JNICALL JNI_GetCreatedJavaVMs(JavaVM **vms, jsize capacity, jsize *count) {
    *count = vmCreated ? 1 : 0;
    if (vmCreated && capacity > 0) vms[0] = &sharedVm;
    return JNI_OK;
}

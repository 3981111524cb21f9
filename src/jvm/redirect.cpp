/* System.out and System.err into the service's named pipes. */
#include "jvm/jvm.h"

#include <stdlib.h>

#include "common/guard.h"
#include "host.h"
#include "log/events.h"
#include "log/log.h"

/* A new FileOutputStream on the Java side of pipe `kind` (0 out, 1 err), or NULL. */
static jobject OpenPipeStream(JNIEnv *env, jclass streamClass, jmethodID constructor, int kind) {
    TextGuard pipeName(FormatPipeName(kind));
    if (!pipeName) return nullptr;
    char path[PATH_CAPACITY + 1];
    if (HostJavaPipePath(path, sizeof path, pipeName.Get()) != 0) {
        LogLabelled("Pipe path too long:", pipeName.Get(), LOG_ERROR);
        return nullptr;
    }
    jstring javaPath = NewJavaString(env, path);
    if (javaPath == nullptr) return nullptr;
    return env->NewObject(streamClass, constructor, javaPath);
}

static int SetSystemStream(JNIEnv *env, jclass systemClass, const char *setter, jobject stream) {
    jmethodID method = env->GetStaticMethodID(systemClass, setter, "(Ljava/io/PrintStream;)V");
    if (method == nullptr) return 1;
    env->CallStaticVoidMethod(systemClass, method, stream);
    return env->ExceptionCheck() ? 1 : 0;
}

int RedirectStdStreams(JNIEnv *env) {
    jclass fileStreamClass = env->FindClass("java/io/FileOutputStream");
    if (fileStreamClass == nullptr) return 1;
    jmethodID fileStreamConstructor = env->GetMethodID(fileStreamClass, "<init>", "(Ljava/lang/String;)V");
    if (fileStreamConstructor == nullptr) return 1;
    jobject outFile = OpenPipeStream(env, fileStreamClass, fileStreamConstructor, 0);
    if (outFile == nullptr) return 1;
    jobject errFile = OpenPipeStream(env, fileStreamClass, fileStreamConstructor, 1);
    if (errFile == nullptr) return 1;

    jclass printStreamClass = env->FindClass("java/io/PrintStream");
    if (printStreamClass == nullptr) return 1;
    jmethodID printStreamConstructor = env->GetMethodID(printStreamClass, "<init>", "(Ljava/io/OutputStream;)V");
    if (printStreamConstructor == nullptr) return 1;
    jobject outStream = env->NewObject(printStreamClass, printStreamConstructor, outFile);
    if (outStream == nullptr) return 1;
    jobject errStream = env->NewObject(printStreamClass, printStreamConstructor, errFile);
    if (errStream == nullptr) return 1;

    jclass systemClass = env->FindClass("java/lang/System");
    if (systemClass == nullptr) return 1;
    if (SetSystemStream(env, systemClass, "setOut", outStream) != 0) return 1;
    return SetSystemStream(env, systemClass, "setErr", errStream);
}

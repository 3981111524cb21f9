/* System.out and System.err on the process's standard output and error, which
 * PointStandardHandlesAtPipes made the service's two pipes. */
#include "jvm/jvm.h"

#include <stdio.h>

#include "common/messages.h"
#include "log/log.h"

void JavaCharsetOfCodePage(unsigned codePage, char *out, size_t capacity) {
    const char *name = nullptr;
    switch (codePage) {
    case CP_UTF8: name = "UTF-8"; break;
    case 874: name = "MS874"; break;
    case 932: name = "MS932"; break;
    case 936: name = "GBK"; break;
    case 949: name = "MS949"; break;
    case 950: name = "MS950"; break;
    case 1361: name = "x-johab"; break;
    default: break;
    }
    if (name != nullptr) snprintf(out, capacity, "%s", name);
    else snprintf(out, capacity, "Cp%u", codePage);
}

/* A FileOutputStream on FileDescriptor.out or .err, or NULL. */
static jobject OpenStandardStream(JNIEnv *env, jclass descriptorClass, jclass streamClass, jmethodID constructor,
                                  const char *field) {
    jfieldID id = env->GetStaticFieldID(descriptorClass, field, "Ljava/io/FileDescriptor;");
    if (id == nullptr) return nullptr;
    jobject descriptor = env->GetStaticObjectField(descriptorClass, id);
    if (descriptor == nullptr) return nullptr;
    return env->NewObject(streamClass, constructor, descriptor);
}

/* A print stream on `stream` without automatic flushing, writing `charset`;
 * in the runtime's default charset (*defaulted set) when the runtime does not
 * know that one. */
static jobject NewPrintStream(JNIEnv *env, jclass printClass, jobject stream, jstring charset, bool *defaulted) {
    jmethodID withCharset = env->GetMethodID(printClass, "<init>", "(Ljava/io/OutputStream;ZLjava/lang/String;)V");
    if (withCharset != nullptr) {
        jobject printStream = env->NewObject(printClass, withCharset, stream, JNI_FALSE, charset);
        if (printStream != nullptr) return printStream;
    }
    env->ExceptionClear();
    *defaulted = true;
    jmethodID plain = env->GetMethodID(printClass, "<init>", "(Ljava/io/OutputStream;)V");
    if (plain == nullptr) return nullptr;
    return env->NewObject(printClass, plain, stream);
}

static int SetSystemStream(JNIEnv *env, jclass systemClass, const char *setter, jobject stream) {
    jmethodID method = env->GetStaticMethodID(systemClass, setter, "(Ljava/io/PrintStream;)V");
    if (method == nullptr) return 1;
    env->CallStaticVoidMethod(systemClass, method, stream);
    return env->ExceptionCheck() ? 1 : 0;
}

int RedirectStdStreams(JNIEnv *env) {
    jclass descriptorClass = env->FindClass("java/io/FileDescriptor");
    if (descriptorClass == nullptr) return 1;
    jclass fileStreamClass = env->FindClass("java/io/FileOutputStream");
    if (fileStreamClass == nullptr) return 1;
    jmethodID fileStreamConstructor = env->GetMethodID(fileStreamClass, "<init>", "(Ljava/io/FileDescriptor;)V");
    if (fileStreamConstructor == nullptr) return 1;
    jobject outFile = OpenStandardStream(env, descriptorClass, fileStreamClass, fileStreamConstructor, "out");
    if (outFile == nullptr) return 1;
    jobject errFile = OpenStandardStream(env, descriptorClass, fileStreamClass, fileStreamConstructor, "err");
    if (errFile == nullptr) return 1;

    char charsetName[32];
    JavaCharsetOfCodePage(GetACP(), charsetName, sizeof charsetName);
    jstring charset = NewJavaString(env, charsetName);
    if (charset == nullptr) return 1;
    jclass printStreamClass = env->FindClass("java/io/PrintStream");
    if (printStreamClass == nullptr) return 1;
    bool defaulted = false;
    jobject outStream = NewPrintStream(env, printStreamClass, outFile, charset, &defaulted);
    if (outStream == nullptr) return 1;
    jobject errStream = NewPrintStream(env, printStreamClass, errFile, charset, &defaulted);
    if (errStream == nullptr) return 1;
    if (defaulted)
        LogLabelled(MSG_DEFAULT_CHARSET_USED, charsetName, LOG_WARNING);

    jclass systemClass = env->FindClass("java/lang/System");
    if (systemClass == nullptr) return 1;
    if (SetSystemStream(env, systemClass, "setOut", outStream) != 0) return 1;
    return SetSystemStream(env, systemClass, "setErr", errStream);
}

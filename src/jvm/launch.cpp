/* Resolving the main class and calling its main method on the VM host thread. */
#include "jvm/jvm.h"

#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "config/params.h"
#include "log/events.h"
#include "log/log.h"

char *mainClassName;

/* Describes a pending exception on the error stream; as JNI specifies,
 * ExceptionDescribe also clears it, so the caller goes on with none pending. */
static void DescribePendingException(JNIEnv *env) {
    if (env->ExceptionCheck()) env->ExceptionDescribe();
}

static void ForgetMainClassName(void) {
    free(mainClassName);
    mainClassName = nullptr;
}

jstring GetManifestMainClass(JNIEnv *env, const char *archivePath) {
    jclass jarClass = env->FindClass("java/util/jar/JarFile");
    if (jarClass == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(jarClass, "<init>", "(Ljava/lang/String;)V");
    if (constructor == nullptr) return nullptr;
    jstring path = NewJavaString(env, archivePath);
    if (path == nullptr) return nullptr;
    jobject jar = env->NewObject(jarClass, constructor, path);
    if (jar == nullptr) return nullptr;
    jmethodID getManifest = env->GetMethodID(jarClass, "getManifest", "()Ljava/util/jar/Manifest;");
    if (getManifest == nullptr) return nullptr;
    jobject manifest = env->CallObjectMethod(jar, getManifest);
    if (manifest == nullptr) return nullptr;
    jclass manifestClass = env->GetObjectClass(manifest);
    if (manifestClass == nullptr) return nullptr;
    jmethodID getMainAttributes = env->GetMethodID(manifestClass, "getMainAttributes", "()Ljava/util/jar/Attributes;");
    if (getMainAttributes == nullptr) return nullptr;
    jobject attributes = env->CallObjectMethod(manifest, getMainAttributes);
    if (attributes == nullptr) return nullptr;
    jclass attributesClass = env->GetObjectClass(attributes);
    if (attributesClass == nullptr) return nullptr;
    jmethodID getValue = env->GetMethodID(attributesClass, "getValue", "(Ljava/lang/String;)Ljava/lang/String;");
    if (getValue == nullptr) return nullptr;
    jstring key = NewJavaString(env, "Main-Class");
    if (key == nullptr) return nullptr;
    return static_cast<jstring>(env->CallObjectMethod(attributes, getValue, key));
}

int NewJavaArgs(JNIEnv *env, const char *argumentList, jobjectArray *array) {
    if (argumentList == nullptr) return 1;
    jsize count = 0;
    for (const char *argument = argumentList; *argument != '\0'; argument += strlen(argument) + 1) count++;
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return 1;
    *array = env->NewObjectArray(count, stringClass, nullptr);
    if (*array == nullptr) return 1;
    jsize index = 0;
    for (const char *argument = argumentList; *argument != '\0'; argument += strlen(argument) + 1) {
        jstring element = NewJavaString(env, argument);
        if (element == nullptr) return 1;
        env->SetObjectArrayElement(*array, index++, element);
        env->DeleteLocalRef(element);
        if (env->ExceptionCheck()) return 1;
    }
    return 0;
}

/* mainClassName from the archive's Main-Class attribute; 0 or RUN_NO_MANIFEST_MAIN. */
static int ReadArchiveMainClass(JNIEnv *env, const char *archivePath) {
    jstring value = GetManifestMainClass(env, archivePath);
    if (value == nullptr) {
        DescribePendingException(env);
        LogLabelled(MSG_NO_MANIFEST_MAIN_CLASS, archivePath, LOG_ERROR);
        return RUN_NO_MANIFEST_MAIN;
    }
    const char *characters = env->GetStringUTFChars(value, nullptr);
    if (characters == nullptr) {
        DescribePendingException(env);
        return RUN_NO_MANIFEST_MAIN;
    }
    free(mainClassName);
    mainClassName = DuplicateOrExit(characters);
    env->ReleaseStringUTFChars(value, characters);
    return 0;
}

int ResolveMainClass(JNIEnv *env, const char *mainName, int archive, jclass *mainClass, jmethodID *mainMethod) {
    free(mainClassName);
    mainClassName = DuplicateOrExit(mainName);
    if (archive) {
        int result = ReadArchiveMainClass(env, mainName);
        if (result != 0) return result;
    }
    TextGuard path(ClassNameToPath(mainClassName));
    *mainClass = env->FindClass(path.Get());
    if (*mainClass == nullptr) {
        DescribePendingException(env);
        LogLabelled(MSG_MAIN_CLASS_NOT_FOUND, mainClassName, LOG_ERROR);
        ForgetMainClassName();
        return RUN_NO_MAIN_CLASS;
    }
    path.Reset();
    *mainMethod = env->GetStaticMethodID(*mainClass, "main", "([Ljava/lang/String;)V");
    if (*mainMethod == nullptr) {
        DescribePendingException(env);
        LogLabelled(MSG_NO_MAIN_METHOD, mainClassName, LOG_ERROR);
        ForgetMainClassName();
        return RUN_NO_MAIN_METHOD;
    }
    return 0;
}

/* RUN now, or from the startup observer once the startup method says so. */
static void ArrangeRunSignal(void) {
    char *methodName = ReadStringParameter(PARAMETER_STARTUP_METHOD);
    if (methodName == nullptr) {
        SignalNamedEvent("RUN");
        return;
    }
    HANDLE thread = CreateThread(nullptr, 0, StartupObserverThread, methodName, 0, nullptr);
    if (thread == nullptr) {
        LogSystemError("CreateThread", 0);
        free(methodName);
        SignalNamedEvent("RUN");
        return;
    }
    CloseHandle(thread);
}

int InvokeMainClass(JNIEnv *env, const char *mainName, int archive, PHANDLER_ROUTINE consoleHandler) {
    if (!settings.interactive && RedirectStdStreams(env) != 0) {
        DescribePendingException(env);
        LogError(MSG_CANNOT_REDIRECT_STD_STREAMS);
        return RUN_NO_REDIRECT;
    }
    jclass mainClass = nullptr;
    jmethodID mainMethod = nullptr;
    int result = ResolveMainClass(env, mainName, archive, &mainClass, &mainMethod);
    if (result != 0) return result;

    TextGuard argumentList(ReadStringParameter(PARAMETER_JAVA_ARGS));
    jobjectArray arguments = nullptr;
    if (NewJavaArgs(env, argumentList ? argumentList.Get() : "\0", &arguments) != 0) {
        DescribePendingException(env);
        return RUN_NO_MAIN_METHOD;
    }
    argumentList.Reset();

    if (!SetConsoleCtrlHandler(consoleHandler, TRUE)) LogSystemError("SetConsoleCtrlHandler", 0);
    ArrangeRunSignal();

    applicationOutcome.mainCalled.store(1);
    env->CallStaticVoidMethod(mainClass, mainMethod, arguments);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        applicationOutcome.mainThrew.store(1);
        return RUN_NO_MAIN_METHOD;
    }
    return RUN_OK;
}

/* The Java side of start-up, exit and shutdown. */
#include "jvm/jvm.h"

#include <stdlib.h>

#include "common/guard.h"
#include "common/messages.h"
#include "config/params.h"
#include "log/events.h"
#include "log/log.h"

enum { EXIT_HOOK_PAUSE_MS = 90000, STARTUP_POLL_INTERVAL_MS = 1000 };

/* Describes and clears a pending exception; threads other than main's clear it. */
static void DescribeAndClear(JNIEnv *env) {
    env->ExceptionDescribe();
    env->ExceptionClear();
}

/* The main class again, from mainClassName; NULL after describing the failure. */
static jclass FindMainClassAgain(JNIEnv *env) {
    if (mainClassName == nullptr) return nullptr;
    TextGuard path(ClassNameToPath(mainClassName));
    jclass mainClass = env->FindClass(path.Get());
    if (mainClass == nullptr && env->ExceptionCheck()) DescribeAndClear(env);
    return mainClass;
}

ApplicationOutcome applicationOutcome;

void JNICALL JvmExitHook(jint status) {
    LogMessage(MSG_JVM_EXIT_HOOK_CALLED, LOG_INFO);
    applicationOutcome.exitStatus.store(status);
    applicationOutcome.exitCalled.store(1);
    SignalNamedEvent(status != 0 ? "EXIT1" : "EXIT0");
    Sleep(EXIT_HOOK_PAUSE_MS);
}

void (*jvmAbortDrain)(void);

/* Runs on the thread that failed, before the VM ends the process. */
void JNICALL JvmAbortHook(void) {
    int creating = applicationOutcome.creatingVm.load();
    if (creating == VM_CREATING_IN_PROCESS || creating == 0) {
        if (jvmAbortDrain != nullptr) jvmAbortDrain();
    }
    if (creating == 0) return;
    LogError(MSG_CANNOT_CREATE_JVM);
    if (creating != VM_CREATING_IN_PROCESS) ExitProcess(RUN_NO_VM);
    applicationOutcome.vmAborted.store(1);
    SignalNamedEvent("EXIT1");
    Sleep(EXIT_HOOK_PAUSE_MS);
}

DWORD WINAPI StartupObserverThread(LPVOID methodName) {
    char *name = static_cast<char *>(methodName);
    ObserveStartupProgress(name);
    free(name);
    SignalNamedEvent("RUN");
    return 0;
}

int ObserveStartupProgress(const char *methodName) {
    JNIEnv *env = nullptr;
    int attached = AttachToLiveJvm(&env);
    if (attached == 1) {
        LogMessage(MSG_NO_JVM_FOR_STARTUP_PROGRESS, LOG_WARNING);
        return 1;
    }
    if (attached != 0) {
        LogError(MSG_ATTACH_FAILED_FOR_STARTUP_PROGRESS);
        return 1;
    }
    int result = PollStartupMethod(env, methodName);
    if (javaVM->DetachCurrentThread() < 0) {
        LogError(MSG_DETACH_FAILED_FOR_STARTUP_PROGRESS);
        return 1;
    }
    return result;
}

int PollStartupMethod(JNIEnv *env, const char *methodName) {
    jclass mainClass = FindMainClassAgain(env);
    if (mainClass == nullptr) return 1;
    jmethodID method = env->GetStaticMethodID(mainClass, methodName, "()Z");
    if (method == nullptr) {
        if (env->ExceptionOccurred() != nullptr) DescribeAndClear(env);
        return 1;
    }
    for (;;) {
        jboolean starting = env->CallStaticBooleanMethod(mainClass, method);
        if (env->ExceptionCheck()) {
            DescribeAndClear(env);
            return 1;
        }
        Sleep(STARTUP_POLL_INTERVAL_MS);
        if (!starting) return 0;
    }
}

int InvokeShutdownMethod(JNIEnv *env, const char *methodName) {
    jclass mainClass = FindMainClassAgain(env);
    if (mainClass == nullptr) return 1;
    jmethodID method = env->GetStaticMethodID(mainClass, methodName, "()V");
    if (method == nullptr) {
        if (env->ExceptionCheck()) DescribeAndClear(env);
        return 1;
    }
    env->CallStaticVoidMethod(mainClass, method);
    if (env->ExceptionCheck()) {
        DescribeAndClear(env);
        return 1;
    }
    return 0;
}

int InvokeSystemExit(JNIEnv *env) {
    jclass systemClass = env->FindClass("java/lang/System");
    if (systemClass == nullptr) return 1;
    jmethodID exitMethod = env->GetStaticMethodID(systemClass, "exit", "(I)V");
    if (exitMethod == nullptr) return 1;
    env->CallStaticVoidMethod(systemClass, exitMethod, (jint)0);
    return 0;
}

int JavaShutdown(void) {
    TextGuard methodName(ReadStringParameter(PARAMETER_SHUTDOWN_METHOD));
    if (!methodName) LogMessage(MSG_SHUTDOWN_METHOD_NOT_SPECIFIED, LOG_INFO);
    JNIEnv *env = nullptr;
    int attached = AttachToLiveJvm(&env);
    if (attached == 1) {
        LogMessage(MSG_NO_JVM_FOR_SHUTDOWN, LOG_WARNING);
        return 1;
    }
    if (attached != 0) {
        LogError(MSG_ATTACH_FAILED_FOR_SHUTDOWN);
        return 1;
    }
    if (methodName) {
        LogLabelled(MSG_INVOKING_SHUTDOWN_METHOD, methodName.Get(), LOG_INFO);
        if (InvokeShutdownMethod(env, methodName.Get()) == 0) {
            if (javaVM->DetachCurrentThread() < 0) {
                LogError(MSG_DETACH_FAILED_FOR_SHUTDOWN);
                return 1;
            }
            return 0;
        }
    }
    LogMessage(MSG_INVOKING_SYSTEM_EXIT, LOG_INFO);
    return InvokeSystemExit(env);
}

/* Java's own forms of the program's text: strings built from its bytes, and
 * class names as paths. */
#include "jvm/jvm.h"

#include <string.h>

#include "common/text.h"

char *ClassNameToPath(const char *className) {
    char *path = DuplicateOrExit(className);
    for (char *c = path; *c != '\0'; c++)
        if (*c == '.') *c = '/';
    return path;
}

jstring NewJavaString(JNIEnv *env, const char *text) {
    jsize length = (jsize)strlen(text);
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return nullptr;
    jmethodID constructor = env->GetMethodID(stringClass, "<init>", "([B)V");
    if (constructor == nullptr) return nullptr;
    jbyteArray bytes = env->NewByteArray(length);
    if (bytes == nullptr) return nullptr;
    env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte *>(text));
    jstring result = nullptr;
    if (!env->ExceptionCheck()) result = static_cast<jstring>(env->NewObject(stringClass, constructor, bytes));
    env->DeleteLocalRef(bytes);
    env->DeleteLocalRef(stringClass);
    return result;
}

/* Finding and loading the Java runtime library. */
#include "jvm/jvm.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "config/params.h"
#include "host.h"
#include "log/log.h"

JavaSoftInfo jdkInfo;
JavaSoftInfo jreInfo;
char *jvmType;
int jvmTypeMatched;
char loadedLibraryPath[PATH_CAPACITY + 1];
char javaHomeUsed[PATH_CAPACITY + 1];

const char *const noJavaRuntimeMessage =
    "Cannot find any suitable Java VM software on your computer.\n"
    "Please download and install a Java VM from https://adoptium.net/.\n";

enum { JVM_TYPE_CAPACITY = 63, CONFIG_LINE_CAPACITY = 259 };

/* Joins the pieces into `out` (PATH_CAPACITY + 1 bytes); 1 when they do not fit. */
static int JoinPath(char *out, const char *first, const char *second, const char *third = "") {
    int written = snprintf(out, PATH_CAPACITY + 1, "%s%s%s", first, second, third);
    if (written < 0 || written > PATH_CAPACITY) {
        LogLabelled("Path too long:", first, LOG_WARNING);
        out[0] = '\0';
        return 1;
    }
    return 0;
}

static void LogSystemWarning(const char *call, DWORD code, const char *text) {
    TextGuard label(FormatSystemError(call, code));
    LogLabelled(label.Get(), text, LOG_WARNING);
}

int LoadJNILibrary(const char *path, JniEntryPoints *entryPoints) {
    LogLabelled("LoadJNILibrary", path, LOG_INFO);
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        LogSystemWarning("LoadLibrary", 0, path);
        return 1;
    }
    entryPoints->library = library;
    FARPROC create = GetProcAddress(library, "JNI_CreateJavaVM");
    if (create == nullptr) {
        LogSystemWarning("GetProcAddress", 0, "JNI_CreateJavaVM");
        return 1;
    }
    entryPoints->createJavaVM = reinterpret_cast<CreateJavaVMFunction>(reinterpret_cast<void *>(create));
    FARPROC defaults = GetProcAddress(library, "JNI_GetDefaultJavaVMInitArgs");
    if (defaults == nullptr) {
        LogSystemWarning("GetProcAddress", 0, "JNI_GetDefaultJavaVMInitArgs");
        return 1;
    }
    entryPoints->getDefaultJavaVMInitArgs =
        reinterpret_cast<GetDefaultJavaVMInitArgsFunction>(reinterpret_cast<void *>(defaults));
    CopyField(loadedLibraryPath, path, PATH_CAPACITY);
    return 0;
}

int LoadClassicJvm(const char *directory, JniEntryPoints *entryPoints) {
    char path[PATH_CAPACITY + 1];
    if (HostClassicJvmPath(path, sizeof path, directory) != 0) {
        LogLabelled("Path too long:", directory, LOG_WARNING);
        return 1;
    }
    return LoadJNILibrary(path, entryPoints);
}

int LoadTypedJvm(const char *directory, const char *configDirectory, const char *type,
                 JniEntryPoints *entryPoints) {
    /* A jvm.cfg without any "-" line names no library to try. */
    if (type[0] == '\0') {
        LogLabelled("No JVM type listed in jvm.cfg in", configDirectory, LOG_WARNING);
        return 1;
    }
    char path[PATH_CAPACITY + 1];
    if (HostTypedJvmPath(path, sizeof path, directory, configDirectory, type + 1) != 0) {
        LogLabelled("Path too long:", directory, LOG_WARNING);
        return 1;
    }
    return LoadJNILibrary(path, entryPoints);
}

static bool IsConfigSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

static void AddConfigLine(const char *line, size_t length, StringList *types) {
    if (length == 0 || line[0] != '-') return;
    size_t word = 0;
    while (word < length && !IsConfigSpace(line[word])) word++;
    char copy[CONFIG_LINE_CAPACITY + 1];
    memcpy(copy, line, word);
    copy[word] = '\0';
    AddString(types, copy);
}

void ParseJvmConfigText(const char *text, size_t size, StringList *types) {
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && end - start < CONFIG_LINE_CAPACITY && text[end] != '\n') end++;
        if (end < size && text[end] == '\n' && end - start < CONFIG_LINE_CAPACITY) end++;
        AddConfigLine(text + start, end - start, types);
        start = end;
    }
}

/* The whole file into a new NUL-ended buffer; NULL with the last error set. */
static char *ReadWholeFile(const char *path, size_t *size) {
    HandleGuard file(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return nullptr;
    size_t capacity = 4096, used = 0;
    char *buffer = static_cast<char *>(AllocateOrExit(capacity + 1));
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(file.Get(), buffer + used, (DWORD)(capacity - used), &count, nullptr)) {
            free(buffer);
            return nullptr;
        }
        if (count == 0) break;
        used += count;
        if (used == capacity) {
            capacity *= 2;
            buffer = static_cast<char *>(ReallocateOrExit(buffer, capacity + 1));
        }
    }
    buffer[used] = '\0';
    *size = used;
    return buffer;
}

int ReadJvmConfig(const char *directory, StringList *types) {
    LogLabelled("Searching for jvm.cfg in: ", directory, LOG_INFO);
    char path[PATH_CAPACITY + 1];
    char name[16];
    snprintf(name, sizeof name, "%cjvm.cfg", hostPathSeparator);
    if (JoinPath(path, directory, name) != 0) return 1;
    size_t size = 0;
    TextGuard text(ReadWholeFile(path, &size));
    if (!text) {
        LogSystemWarning("fopen", 0, path);
        return 1;
    }
    LogLabelled("jvm.cfg found in: ", directory, LOG_INFO);
    ParseJvmConfigText(text.Get(), size, types);
    return 0;
}

int FindJvmConfig(const char *directory, StringList *types, char *configDirectory) {
    for (int i = 0; hostJvmConfigPlaces[i] != nullptr; i++) {
        if (JoinPath(configDirectory, directory, hostJvmConfigPlaces[i]) != 0) continue;
        if (ReadJvmConfig(configDirectory, types) == 0) return 0;
    }
    configDirectory[0] = '\0';
    return 1;
}

char *ChooseJvmType(const StringList *types, const char *requestedType) {
    const char *chosen = "";
    if (requestedType != nullptr && requestedType[0] == '-' && FindString(types, requestedType) >= 0)
        chosen = requestedType;
    else if (types->count > 0)
        chosen = types->items[0];
    char *result = static_cast<char *>(AllocateOrExit(JVM_TYPE_CAPACITY + 1));
    CopyField(result, chosen, JVM_TYPE_CAPACITY);
    return result;
}

int SearchJvmDirectory(const char *directory, JniEntryPoints *entryPoints) {
    StringList types = {};
    char configDirectory[PATH_CAPACITY + 1];
    if (FindJvmConfig(directory, &types, configDirectory) != 0) {
        ClearStrings(&types);
        return LoadClassicJvm(directory, entryPoints);
    }
    TextGuard type(ChooseJvmType(&types, jvmType));
    if (jvmType != nullptr && strcmp(jvmType, type.Get()) == 0) jvmTypeMatched = 1;
    int result = LoadTypedJvm(directory, configDirectory, type.Get(), entryPoints);
    ClearStrings(&types);
    return result;
}

int SearchJavaHome(const char *directory, JniEntryPoints *entryPoints) {
    if (SearchJvmDirectory(directory, entryPoints) == 0) return 0;
    char jreDirectory[PATH_CAPACITY + 1];
    if (JoinPath(jreDirectory, directory, hostJreSubdirectory) != 0) return 1;
    if (SearchJvmDirectory(jreDirectory, entryPoints) != 0) return 1;
    CopyField(javaHomeUsed, jreDirectory, PATH_CAPACITY);
    return 0;
}

/* JAVA_HOME without one pair of surrounding double quotes, or "" when unset;
 * 1 when the value does not fit. */
static int ReadJavaHomeVariable(char *out) {
    out[0] = '\0';
    const char *value = getenv("JAVA_HOME");
    if (value == nullptr) return 0;
    if (strlen(value) > PATH_CAPACITY) {
        LogLabelled("JAVA_HOME too long:", value, LOG_WARNING);
        return 1;
    }
    CopyField(out, value, PATH_CAPACITY);
    size_t length = strlen(out);
    if (length >= 2 && out[0] == '"' && out[length - 1] == '"') {
        memmove(out, out + 1, length - 2);
        out[length - 2] = '\0';
    }
    return 0;
}

/* A JavaSoft key's RuntimeLib, with its JavaHome recorded when it loads. */
static int LoadRegistryRuntimeLib(const JavaSoftInfo *info, const char *message, JniEntryPoints *entryPoints) {
    LogLabelled(message, info->runtimeLibValue, LOG_INFO);
    if (LoadJNILibrary(info->runtimeLibValue, entryPoints) != 0) return 1;
    if (info->javaHomeValue != nullptr) CopyField(javaHomeUsed, info->javaHomeValue, PATH_CAPACITY);
    return 0;
}

static bool IsPresent(const char *text) { return text != nullptr && text[0] != '\0'; }

int FindJavaRuntime(JniEntryPoints *entryPoints) {
    if (settings.runtimeLibrary[0] != '\0') {
        LogLabelled("Loading JNI: runtimelib param used:", settings.runtimeLibrary, LOG_INFO);
        return LoadJNILibrary(settings.runtimeLibrary, entryPoints);
    }
    if (settings.javaHome[0] != '\0') {
        LogLabelled("Loading JNI: javahome param used:", settings.javaHome, LOG_INFO);
        return SearchJavaHome(settings.javaHome, entryPoints);
    }
    char javaHome[PATH_CAPACITY + 1];
    if (ReadJavaHomeVariable(javaHome) != 0) return 1;
    if (javaHome[0] != '\0') {
        LogLabelled("Loading JNI: JAVA_HOME env var used:", javaHome, LOG_INFO);
        return SearchJavaHome(javaHome, entryPoints);
    }
    LogLabelled("Loading JNI: Current working dir used:", settings.workingDirectory, LOG_INFO);
    if (SearchJavaHome(settings.workingDirectory, entryPoints) == 0) return 0;

    if (IsPresent(jdkInfo.runtimeLibValue))
        return LoadRegistryRuntimeLib(&jdkInfo, "Loading JNI: RuntimeLib (JavaSoft JDK reg) used:", entryPoints);
    if (IsPresent(jdkInfo.javaHomeValue)) {
        LogLabelled("Loading JNI: JavaHome (JavaSoft JDK reg) used:", jdkInfo.javaHomeValue, LOG_INFO);
        if (SearchJavaHome(jdkInfo.javaHomeValue, entryPoints) == 0) return 0;
    }
    if (IsPresent(jreInfo.runtimeLibValue))
        return LoadRegistryRuntimeLib(&jreInfo, "Loading JNI: RuntimeLib (JavaSoft JRE reg) used:", entryPoints);
    if (IsPresent(jreInfo.javaHomeValue)) {
        LogLabelled("Loading JNI: JavaHome (JavaSoft JRE reg) used:", jreInfo.javaHomeValue, LOG_INFO);
        return SearchJavaHome(jreInfo.javaHomeValue, entryPoints);
    }
    return 1;
}

static void LogRegistryWarning(LONG code, const char *keyPath, const char *version) {
    TextGuard error(FormatSystemError("RegOpenKeyEx", (DWORD)code));
    size_t size = strlen(error.Get()) + strlen(keyPath) + (version ? strlen(version) : 0) + 8;
    TextGuard text(static_cast<char *>(AllocateOrExit(size)));
    if (version == nullptr)
        snprintf(text.Get(), size, "%s\r\n\t%s", error.Get(), keyPath);
    else
        snprintf(text.Get(), size, "%s\r\n\t%s\\%s", error.Get(), keyPath, version);
    LogMessage(text.Get(), LOG_WARNING);
}

int ReadJavaSoftKey(JavaSoftInfo *info, const char *keyPath) {
    KeyGuard key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.Out());
    if (status != ERROR_SUCCESS) {
        LogRegistryWarning(status, keyPath, nullptr);
        return 1;
    }
    TextGuard version(ReadStringValue(key.Get(), "CurrentVersion"));
    if (!version) return 1;
    KeyGuard versionKey;
    status = RegOpenKeyExA(key.Get(), version.Get(), 0, KEY_READ, versionKey.Out());
    if (status != ERROR_SUCCESS) {
        LogRegistryWarning(status, keyPath, version.Get());
        return 1;
    }
    free(info->javaHomeValue);
    free(info->runtimeLibValue);
    info->javaHomeValue = ReadStringValue(versionKey.Get(), "JavaHome");
    info->runtimeLibValue = ReadStringValue(versionKey.Get(), "RuntimeLib");
    return 0;
}

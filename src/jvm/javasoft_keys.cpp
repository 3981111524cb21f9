/* The JavaSoft keys: the runtime that installers record under
 * Software\JavaSoft, read into JavaSoftInfo and offered to the search. */
#include "jvm/jvm.h"
#include "jvm/runtime_candidates.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "config/params.h"
#include "log/log.h"

JavaSoftInfo jdkInfo;
JavaSoftInfo jreInfo;

static bool IsPresent(const char *text) { return text != nullptr && text[0] != '\0'; }

static void ClearJavaSoftInfo(JavaSoftInfo *info) {
    free(info->javaHomeValue);
    free(info->runtimeLibValue);
    free(info->currentVersion);
    *info = {};
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
    ClearJavaSoftInfo(info);
    info->javaHomeValue = ReadStringValue(versionKey.Get(), "JavaHome");
    info->runtimeLibValue = ReadStringValue(versionKey.Get(), "RuntimeLib");
    info->currentVersion = version.Release();
    return 0;
}

struct JavaSoftSources {
    const char *runtimeLib; /* the source names of the key's two values */
    const char *javaHome;
};
static const JavaSoftSources developmentKitSources = {MSG_SOURCE_JAVASOFT_JDK_LIBRARY, MSG_SOURCE_JAVASOFT_JDK_HOME};
static const JavaSoftSources runtimeEnvironmentSources = {MSG_SOURCE_JAVASOFT_JRE_LIBRARY,
                                                          MSG_SOURCE_JAVASOFT_JRE_HOME};
static const JavaSoftSources currentKitSources = {MSG_SOURCE_CURRENT_JDK_LIBRARY, MSG_SOURCE_CURRENT_JDK_HOME};
static const JavaSoftSources currentRuntimeSources = {MSG_SOURCE_CURRENT_JRE_LIBRARY, MSG_SOURCE_CURRENT_JRE_HOME};

/* One key: its RuntimeLib decides (and a RuntimeLib that loads records the
 * key's JavaHome); else its JavaHome, whose failure ends the search only
 * when `lastKey`. */
static void CollectJavaSoftInfo(const JavaSoftInfo *info, const JavaSoftSources *sources, bool lastKey,
                                CandidateList *list) {
    bool library = IsPresent(info->runtimeLibValue);
    if (!library && !IsPresent(info->javaHomeValue)) return;
    RuntimeCandidate *candidate = AddCandidate(list);
    if (candidate == nullptr) return;
    CopyField(candidate->source, library ? sources->runtimeLib : sources->javaHome, CANDIDATE_SOURCE_CAPACITY);
    CopyField(candidate->path, library ? info->runtimeLibValue : info->javaHomeValue, PATH_CAPACITY);
    candidate->library = library;
    candidate->recordsJavaHome = library && info->javaHomeValue != nullptr;
    if (candidate->recordsJavaHome) CopyField(candidate->javaHome, info->javaHomeValue, PATH_CAPACITY);
    candidate->passOnFailure = !library && !lastKey;
    candidate->featureVersion = info->currentVersion ? FeatureVersionOfName(info->currentVersion) : 0;
}

void CollectJavaSoftKeys(CandidateList *list) {
    CollectJavaSoftInfo(&jdkInfo, &developmentKitSources, false, list);
    CollectJavaSoftInfo(&jreInfo, &runtimeEnvironmentSources, true, list);
}

void CollectCurrentJavaSoftKeys(CandidateList *list) {
    JavaSoftInfo kit = {}, runtime = {};
    ReadJavaSoftKey(&kit, JAVASOFT_CURRENT_JDK_KEY);
    ReadJavaSoftKey(&runtime, JAVASOFT_CURRENT_JRE_KEY);
    CollectJavaSoftInfo(&kit, &currentKitSources, false, list);
    CollectJavaSoftInfo(&runtime, &currentRuntimeSources, true, list);
    ClearJavaSoftInfo(&kit);
    ClearJavaSoftInfo(&runtime);
}

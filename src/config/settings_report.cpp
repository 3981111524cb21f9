#include "config/settings_report.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"
#include "common/settings.h"
#include "common/stringlist.h"
#include "config/params.h"
#include "log/log.h"
#include "scm/scm_text.h"

/* Adds "<label><stored text>", or "<label><fallback>" when the value is absent and a
 * non-empty fallback is given; nothing otherwise. */
static void AddStringLine(StringList *lines, const char *label, ParameterId id, const char *fallback) {
    TextGuard value(ReadStringParameter(id));
    const char *text = value ? value.Get() : fallback;
    if (text == NULL || (!value && text[0] == '\0')) return;
    TextGuard line(FormatText("%s%s", label, text));
    AddString(lines, line.Get());
}

/* A Java option whose name holds one of these words carries a secret: the
 * report, which every user of the machine may read, shows "-Ddb.password=***". */
static const char *const secretNameWords[] = {"password", "passwd", "secret", "token", "credential", "apikey"};

static int HoldsWordIgnoringCase(const char *text, size_t length, const char *word) {
    size_t wordLength = strlen(word);
    for (size_t start = 0; start + wordLength <= length; start++) {
        size_t matched = 0;
        while (matched < wordLength && tolower((unsigned char)text[start + matched]) == word[matched]) matched++;
        if (matched == wordLength) return 1;
    }
    return 0;
}

static int NamesSecret(const char *name, size_t length) {
    for (const char *word : secretNameWords)
        if (HoldsWordIgnoringCase(name, length, word)) return 1;
    return 0;
}

/* "\t" and the option, its value hidden when its name (the text before the
 * first "=") names a secret. The caller frees it. */
static char *FormatOptionLine(const char *option) {
    const char *equals = strchr(option, '=');
    if (equals != NULL && NamesSecret(option, (size_t)(equals - option)))
        return FormatText("\t%.*s=***", (int)(equals - option), option);
    return FormatText("\t%s", option);
}

static char *FormatArgumentLine(const char *argument) { return FormatText("\t%s", argument); }

/* Adds the header, then one tab-indented line per string of the stored multi-string. */
static void AddListLines(StringList *lines, const char *header, ParameterId id, char *(*formatLine)(const char *)) {
    TextGuard value(ReadStringParameter(id));
    if (!value) return;
    AddString(lines, header);
    for (const char *item = value.Get(); *item != '\0'; item += strlen(item) + 1) {
        TextGuard line(formatLine(item));
        AddString(lines, line.Get());
    }
}

/* The stored number, or 0 with *present cleared when it cannot be read. */
static LONG ReadNumber(ParameterId id, int *present) {
    LONG number = 0;
    *present = ReadParameter(id, &number, sizeof number) == 0;
    return *present ? number : 0;
}

static void AddNumberLine(StringList *lines, const char *label, ParameterId id) {
    int present = 0;
    LONG number = ReadNumber(id, &present);
    if (!present) return;
    TextGuard line(FormatText("%s%d", label, (int)number));
    AddString(lines, line.Get());
}

/* Adds `text` when the stored number reads as `expected`. */
static void AddFlagLine(StringList *lines, const char *text, ParameterId id, LONG expected) {
    int present = 0;
    LONG number = ReadNumber(id, &present);
    if (present && number == expected) AddString(lines, text);
}

static const char *PriorityName(LONG priorityClass) {
    switch (priorityClass) {
    case IDLE_PRIORITY_CLASS: return "low";
    case NORMAL_PRIORITY_CLASS: return "normal";
    case HIGH_PRIORITY_CLASS: return "high";
    case REALTIME_PRIORITY_CLASS: return "realtime";
    default: return NULL;
    }
}

static void AddPriorityLine(StringList *lines) {
    int present = 0;
    LONG number = ReadNumber(PARAMETER_PRIORITY, &present);
    const char *name = present ? PriorityName(number) : NULL;
    if (name == NULL) return;
    TextGuard line(FormatText(MSG_REPORT_PRIORITY, name));
    AddString(lines, line.Get());
}

void ReportInstalledSettings(const FoundRuntime *found) {
    StringList lines = {};
    TextGuard first(FormatText(MSG_SERVICE_INSTALLED, settings.serviceName));
    AddString(&lines, first.Get());
    AddStringLine(&lines, MSG_REPORT_CURRENT_DIRECTORY, PARAMETER_CURRENT_DIRECTORY, NULL);
    AddStringLine(&lines, MSG_REPORT_STARTUP_METHOD, PARAMETER_STARTUP_METHOD, NULL);
    AddStringLine(&lines, MSG_REPORT_SHUTDOWN_METHOD, PARAMETER_SHUTDOWN_METHOD, NULL);
    AddStringLine(&lines, MSG_REPORT_SHUTDOWN_COMMAND, PARAMETER_SHUTDOWN_COMMAND, NULL);
    AddNumberLine(&lines, MSG_REPORT_TIMEOUT, PARAMETER_TIMEOUT);
    AddNumberLine(&lines, MSG_REPORT_DEBUG_LEVEL, PARAMETER_DEBUG_LEVEL);
    AddStringLine(&lines, MSG_REPORT_LOG_FILE, PARAMETER_LOG_FILE, NULL);
    AddFlagLine(&lines, MSG_REPORT_NO_EVENT_LOGGING, PARAMETER_EVENT_LOGGING, 0);
    AddPriorityLine(&lines);
    AddFlagLine(&lines, MSG_REPORT_SEPARATE_PROCESS, PARAMETER_CREATE_PROCESS, 1);
    AddStringLine(&lines, MSG_REPORT_JAVA_HOME, PARAMETER_JAVA_HOME, found->javaHome);
    AddStringLine(&lines, MSG_REPORT_JVM_TYPE, PARAMETER_JVM_TYPE, NULL);
    AddStringLine(&lines, MSG_REPORT_RUNTIME_LIBRARY, PARAMETER_JNI_LIBRARY, found->library);
    if (found->source != NULL) {
        TextGuard source(FormatText(MSG_REPORT_RUNTIME_SOURCE, found->source));
        AddString(&lines, source.Get());
    }
    AddListLines(&lines, MSG_REPORT_JAVA_OPTIONS, PARAMETER_JAVA_OPTIONS, FormatOptionLine);
    AddStringLine(&lines, MSG_REPORT_MAIN_CLASS, PARAMETER_JAVA_MAIN_CLASS, NULL);
    AddStringLine(&lines, MSG_REPORT_ARCHIVE, PARAMETER_JAVA_ARCHIVE, NULL);
    AddListLines(&lines, MSG_REPORT_JAVA_ARGUMENTS, PARAMETER_JAVA_ARGS, FormatArgumentLine);

    char *joined = NULL;
    JoinWithLineBreaks(&lines, &joined);
    TextGuard report(joined);
    ReportEvent(report.Get(), LOG_INFO);
    ClearStrings(&lines);
}

/* The Java command line as the java launcher reads it, made into what the
 * virtual machine and the stored values take. */
#include "control/java_command_line.h"

#include <stdio.h>
#include <string.h>

#include "common/guard.h"
#include "common/messages.h"

void ClearJavaCommandLine(JavaCommandLine *line) {
    ClearStrings(&line->options);
    ClearStrings(&line->arguments);
    line->archive = 0;
    line->mainName = nullptr;
}

/* A multi-string ends at its first empty string, so an empty main name or
 * program argument would be lost, with every argument after it. */
static int HasEmptyArgument(int argc, char **argv) {
    for (int i = 0; i < argc; i++)
        if (argv[i][0] == '\0') return 1;
    return 0;
}

/* The launcher's options whose value may follow as the next word, and what
 * the virtual machine takes instead: the class path as its property, a module
 * option as "--name=value" (-p is --module-path). The launcher's own others
 * are passed on as typed, for the probe to refuse. */
enum ValueForm { CLASS_PATH_VALUE, JOINED_VALUE, LAUNCHER_ONLY };
struct SeparateValueOption {
    const char *name;
    ValueForm form;
    const char *machineName; /* JOINED_VALUE: the name before "=" where it is not `name` */
};
static const SeparateValueOption separateValueOptions[] = {
    {"-classpath", CLASS_PATH_VALUE, nullptr},
    {"-cp", CLASS_PATH_VALUE, nullptr},
    {"--class-path", CLASS_PATH_VALUE, nullptr},
    {"-p", JOINED_VALUE, "--module-path"},
    {"--module-path", JOINED_VALUE, nullptr},
    {"--upgrade-module-path", JOINED_VALUE, nullptr},
    {"--add-modules", JOINED_VALUE, nullptr},
    {"--enable-native-access", JOINED_VALUE, nullptr},
    {"--limit-modules", JOINED_VALUE, nullptr},
    {"--add-exports", JOINED_VALUE, nullptr},
    {"--add-opens", JOINED_VALUE, nullptr},
    {"--add-reads", JOINED_VALUE, nullptr},
    {"--patch-module", JOINED_VALUE, nullptr},
    {"--module", LAUNCHER_ONLY, nullptr},
    {"-m", LAUNCHER_ONLY, nullptr},
    {"--describe-module", LAUNCHER_ONLY, nullptr},
    {"-d", LAUNCHER_ONLY, nullptr},
    {"--source", LAUNCHER_ONLY, nullptr},
};

static const SeparateValueOption *FindSeparateValueOption(const char *option) {
    for (const SeparateValueOption &entry : separateValueOptions)
        if (strcmp(option, entry.name) == 0) return &entry;
    return nullptr;
}

bool TakesSeparateValue(const char *option) { return FindSeparateValueOption(option) != nullptr; }

static void AddOption(const char *option, VmOptionList *probe, JavaCommandLine *line) {
    AddString(&line->options, option);
    AddVmOption(probe, option, nullptr);
}

static void AddClassPath(const char *classPath, VmOptionList *probe, JavaCommandLine *line) {
    AddClassPathOption(probe, classPath);
    AddString(&line->options, probe->options[probe->count - 1].optionString);
}

/* "--class-path=X" is the launcher's alone, like "--class-path X". */
static const char *ClassPathAfterEquals(const char *option) {
    static const char prefix[] = "--class-path=";
    return strncmp(option, prefix, sizeof prefix - 1) == 0 ? option + sizeof prefix - 1 : nullptr;
}

/* An option and, for the table's, its value word: 0 with *next moved past
 * them, or 8 after a message when the value is missing. */
static int TakeOption(int argc, char **argv, int *next, VmOptionList *probe, JavaCommandLine *line) {
    const char *option = argv[(*next)++];
    const SeparateValueOption *entry = FindSeparateValueOption(option);
    const char *classPath = ClassPathAfterEquals(option);
    if (strcmp(option, "-jar") == 0) {
        line->archive = 1;
    } else if (classPath != nullptr) {
        AddClassPath(classPath, probe, line);
    } else if (entry == nullptr || entry->form == LAUNCHER_ONLY) {
        AddOption(option, probe, line);
    } else if (*next >= argc) {
        fprintf(stderr, entry->form == CLASS_PATH_VALUE ? MSG_OPTION_REQUIRES_CLASS_PATH : MSG_OPTION_REQUIRES_VALUE,
                option);
        return 8;
    } else if (entry->form == CLASS_PATH_VALUE) {
        AddClassPath(argv[(*next)++], probe, line);
    } else {
        const char *name = entry->machineName != nullptr ? entry->machineName : entry->name;
        TextGuard joined(FormatText("%s=%s", name, argv[(*next)++]));
        AddOption(joined.Get(), probe, line);
    }
    return 0;
}

int ParseJavaCommandLine(int argc, char **argv, VmOptionList *probe, JavaCommandLine *line) {
    int next = 0;
    while (next < argc && argv[next][0] == '-')
        if (TakeOption(argc, argv, &next, probe, line) != 0) return 8;
    if (next >= argc) {
        fputs(MSG_NO_MAIN_CLASS_OR_JAR, stderr);
        return 8;
    }
    if (HasEmptyArgument(argc - next, argv + next)) {
        fputs(MSG_EMPTY_JAVA_ARGUMENT, stderr);
        return 8;
    }
    line->mainName = argv[next++];
    if (line->archive) AddClassPathOption(probe, line->mainName);
    while (next < argc) AddString(&line->arguments, argv[next++]);
    return 0;
}


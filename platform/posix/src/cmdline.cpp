#include "cmdline.h"

static bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

static const char *SkipSeparators(const char *p) {
    while (IsSeparator(*p)) p++;
    return p;
}

static const char *ReadProgramName(const char *p, std::string *word) {
    bool quoted = false;
    for (; *p && (quoted || !IsSeparator(*p)); p++) {
        if (*p == '"') quoted = !quoted;
        else word->push_back(*p);
    }
    return p;
}

static const char *ReadArgument(const char *p, std::string *word) {
    bool quoted = false;
    while (*p && (quoted || !IsSeparator(*p))) {
        if (*p == '\\') {
            size_t backslashes = 0;
            while (*p == '\\') backslashes++, p++;
            if (*p == '"') {
                word->append(backslashes / 2, '\\');
                if (backslashes % 2) word->push_back('"'), p++;
            } else {
                word->append(backslashes, '\\');
            }
        } else if (*p == '"') {
            if (quoted && p[1] == '"') {
                word->push_back('"');
                p += 2;
            } else {
                quoted = !quoted;
                p++;
            }
        } else {
            word->push_back(*p++);
        }
    }
    return p;
}

std::vector<std::string> SplitWindowsCommandLine(const char *commandLine) {
    std::vector<std::string> words;
    const char *p = SkipSeparators(commandLine ? commandLine : "");
    if (!*p) return words;
    std::string program;
    p = ReadProgramName(p, &program);
    words.push_back(program);
    for (p = SkipSeparators(p); *p; p = SkipSeparators(p)) {
        std::string word;
        p = ReadArgument(p, &word);
        words.push_back(word);
    }
    return words;
}

/* @argfiles in the Java command line, expanded as the java launcher does: the
 * virtual machine's invocation interface knows none of them. */
#include "control/argfiles.h"

#include <stdio.h>
#include <string.h>

#include "common/file_text.h"
#include "common/guard.h"
#include "common/messages.h"
#include "control/java_command_line.h"
#include "log/log.h"

namespace {

enum TokenState { BETWEEN, IN_TOKEN, IN_QUOTE, IN_ESCAPE, SKIP_LEADING_BLANKS, IN_COMMENT };

/* The blanks that separate the words of an argument file, as the java launcher reads them. */
bool IsArgumentFileBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

char EscapedCharacter(char c) {
    switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'f': return '\f';
    default: return c;
    }
}

/* The token being read, kept as one growing text. */
struct Token {
    char *text = nullptr;
    size_t length = 0, capacity = 0;
    ~Token() { free(text); }
    void Add(char c) {
        if (length + 1 >= capacity) {
            capacity = capacity == 0 ? 64 : capacity * 2;
            text = static_cast<char *>(ReallocateOrExit(text, capacity));
        }
        text[length++] = c;
        text[length] = '\0';
    }
    void Clear() {
        length = 0;
        if (text != nullptr) text[0] = '\0';
    }
    void EndInto(StringList *tokens) {
        AddString(tokens, text != nullptr ? text : "");
        Clear();
    }
};

} // namespace

/* The launcher's rules, quirks included: '#' outside quotes begins a comment
 * to the end of the line and drops an unfinished token; a backslash escapes
 * only inside quotes, where it also joins the next line; a quote left open
 * ends at the end of its line. */
void SplitArgumentFile(const char *text, size_t length, StringList *tokens) {
    Token token;
    TokenState state = BETWEEN;
    char quote = '\0';
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (state == BETWEEN || state == SKIP_LEADING_BLANKS) {
            if (IsArgumentFileBlank(c)) continue;
            state = state == BETWEEN ? IN_TOKEN : IN_QUOTE;
        } else if (state == IN_ESCAPE) {
            if (c == '\n' || c == '\r') {
                state = SKIP_LEADING_BLANKS;
            } else {
                token.Add(EscapedCharacter(c));
                state = IN_QUOTE;
            }
            continue;
        } else if (state == IN_COMMENT) {
            if (c == '\n' || c == '\r') state = BETWEEN;
            continue;
        }
        if ((c == ' ' || c == '\t' || c == '\f') && state == IN_QUOTE) {
            token.Add(c);
        } else if (IsArgumentFileBlank(c)) {
            token.EndInto(tokens);
            state = BETWEEN;
        } else if (c == '#' && state != IN_QUOTE) {
            token.Clear();
            state = IN_COMMENT;
        } else if (c == '\\' && state == IN_QUOTE) {
            state = IN_ESCAPE;
        } else if ((c == '"' || c == '\'') && (state == IN_TOKEN || c == quote)) {
            quote = state == IN_TOKEN ? c : '\0';
            state = state == IN_TOKEN ? IN_QUOTE : IN_TOKEN;
        } else {
            token.Add(c);
        }
    }
    if (state != BETWEEN && state != IN_COMMENT) token.EndInto(tokens);
}

/* The whole file in *text (NUL-ended; the caller frees it): 0, or 8 after a
 * message naming the file. */
static int ReadArgumentFile(const char *path, char **text, size_t *length) {
    const char *failedCall = nullptr;
    *text = ReadWholeFile(path, length, &failedCall);
    if (*text != nullptr) return 0;
    TextGuard failure(FormatSystemError(failedCall, 0));
    fprintf(stderr, MSG_ARGUMENT_FILE_UNREADABLE, path, failure.Get());
    return 8;
}

/* Where the word stands: after the main name nothing is expanded, as the
 * launcher hands the program's arguments on as they are. */
struct WordPosition {
    bool valueNext = false; /* the word before takes the next one as its value */
    bool mainFound = false;
    bool expansionStopped = false;
};

static void TakeWord(const char *word, WordPosition *position, StringList *words) {
    AddString(words, word);
    if (position->mainFound) return;
    if (word[0] == '-') {
        position->valueNext = TakesSeparateValue(word);
        if (strcmp(word, "--disable-@files") == 0) position->expansionStopped = true;
        return;
    }
    if (!position->valueNext) position->mainFound = true;
    position->valueNext = false;
}

static int ExpandWord(const char *word, WordPosition *position, StringList *words) {
    bool expandable = !position->mainFound && !position->expansionStopped && word[0] == '@' && word[1] != '\0';
    if (!expandable) {
        TakeWord(word, position, words);
        return 0;
    }
    /* "@@name" is the word "@name". */
    if (word[1] == '@') {
        TakeWord(word + 1, position, words);
        return 0;
    }
    char *text = nullptr;
    size_t length = 0;
    if (ReadArgumentFile(word + 1, &text, &length) != 0) return 8;
    StringList tokens = {};
    SplitArgumentFile(text, length, &tokens);
    free(text);
    /* What a file holds is taken as it is: no file is read from a file. */
    for (int i = 0; i < tokens.count; i++) TakeWord(tokens.items[i], position, words);
    ClearStrings(&tokens);
    return 0;
}

int ExpandArgumentFiles(int argc, char **argv, StringList *words) {
    WordPosition position;
    for (int i = 0; i < argc; i++)
        if (ExpandWord(argv[i], &position, words) != 0) return 8;
    return 0;
}

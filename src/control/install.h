/* The option loop of /install, separated from its effects for the tests. */
#ifndef PELORIM_INSTALL_H
#define PELORIM_INSTALL_H

#include "common/stringlist.h"
#include "jvm/jvm.h"

/* What the Java command line after the JVM type holds. */
struct JavaCommandLine {
    StringList options;    /* becomes JavaOptions */
    StringList arguments;  /* becomes JavaArgs */
    int archive;           /* 1 after -jar */
    const char *mainName;  /* points into argv; NULL until found */
};

/* Reads argv[0..argc-1] (the Java command line after a consumed JVM type):
 * options into `line` and `probe`, the main name, the program arguments, and
 * with -jar the archive's class path option into `probe`. Returns 0, or 8
 * after a message on standard error. An empty main name or program argument
 * is refused: a multi-string cannot carry it. */
int ParseJavaCommandLine(int argc, char **argv, VmOptionList *probe, JavaCommandLine *line);
void ClearJavaCommandLine(JavaCommandLine *line);

/* Whether the java launcher takes the word after `option` as its value
 * (-cp, --module-path, --add-opens, -jar's archive aside). */
bool TakesSeparateValue(const char *option);

/* The Java command line with each @argfile before the main name replaced by
 * the words of its file (relative to the current directory), and "@@word"
 * by "@word", as the java launcher does; "--disable-@files" stops that. 0, or
 * 8 after a message when a file cannot be read. */
int ExpandArgumentFiles(int argc, char **argv, StringList *words);
/* The words of an argument file's text, appended to `tokens`. */
void SplitArgumentFile(const char *text, size_t length, StringList *tokens);

#endif

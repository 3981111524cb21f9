/* The Java command line as the java launcher reads it: which options take
 * their value from the next word, and how /install turns the words into the
 * options, main name and program arguments that the service stores. */
#ifndef PELORIM_JAVA_COMMAND_LINE_H
#define PELORIM_JAVA_COMMAND_LINE_H

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

#endif

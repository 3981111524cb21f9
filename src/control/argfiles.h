/* @argfiles in the Java command line, expanded before /install reads it. */
#ifndef PELORIM_ARGFILES_H
#define PELORIM_ARGFILES_H

#include <stddef.h>

#include "common/stringlist.h"

/* The Java command line with each @argfile before the main name replaced by
 * the words of its file (relative to the current directory), and "@@word"
 * by "@word", as the java launcher does; "--disable-@files" stops that. 0, or
 * 8 after a message when a file cannot be read. */
int ExpandArgumentFiles(int argc, char **argv, StringList *words);
/* The words of an argument file's text, appended to `tokens`. */
void SplitArgumentFile(const char *text, size_t length, StringList *tokens);

#endif

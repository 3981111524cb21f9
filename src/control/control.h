/* The entry point, the banner and usage, and the /install action. */
#ifndef PELORIM_CONTROL_H
#define PELORIM_CONTROL_H

#include <jni.h>
#include <stddef.h>

#include "common/banner.h"

/* The whole program: parse, complete, apply stored settings, dispatch.
 * Returns the process exit code. */
int RunProgram(int argc, char **argv, char **envp);

void PrintUsage(void);
/* The part of `path` after its last directory separator, cut to capacity - 1
 * characters, then cut at its last "."; the caller frees it. */
char *FileBaseName(const char *path, size_t capacity);
int IsWindowsNT(void);
/* The running executable's full path, newly allocated; NULL, with the last
 * error set, when the platform cannot give it in full. */
char *ModuleFilePath(void);

/* /install: the Java command line left after the switches, and the process's
 * environment block. Returns the exit code (0, 1, 2, 3, 4, 5, 8 or 9). */
int InstallFromCommandLine(int argc, char **argv, char **envp);
int CheckMainClass(JNIEnv *env, const char *mainName, int archive);

#endif

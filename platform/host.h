/*
 * The few facts that differ between the platforms and are not Win32 calls.
 * One implementation per platform: platform/windows/host.cpp, platform/posix/host.cpp.
 * Every function that writes text writes at most `capacity` bytes including the
 * terminating NUL and returns 0, or returns 1 (with an empty text) when the
 * result would not fit; nothing is ever cut.
 */
#ifndef PELORIM_HOST_H
#define PELORIM_HOST_H

#include <stddef.h>

/* The character that separates directories in a path: '\\' or '/'. */
extern const char hostPathSeparator;

/* Whether `path` is absolute: "/..." on Linux; "\\...", "/..." or a drive
 * letter, a colon and a separator on Windows. */
int HostIsAbsolutePath(const char *path);

/* Subdirectory names of a Java home, each with its leading separator. */
extern const char *const hostJreSubdirectory;   /* "\jre" or "/jre" */

/* The places below a Java home where jvm.cfg is looked for, in order, each
 * relative to the directory being searched: "", "\lib", "\lib\i386" on
 * Windows, and for the 64-bit build then "\lib\amd64", where a 64-bit Java 8
 * runtime keeps it; "", "/lib", "/lib/<arch>" on Linux. NULL-terminated. */
extern const char *const hostJvmConfigPlaces[];

/* The runtime library of JVM type `typeName` (without its "-") for a Java
 * home `directory` whose jvm.cfg was found in `configDirectory`.
 * Windows: directory\bin\<type>\jvm.dll.  Linux: configDirectory/<type>/libjvm.so. */
int HostTypedJvmPath(char *out, size_t capacity, const char *directory,
                     const char *configDirectory, const char *typeName);

/* The one library a Java home without any jvm.cfg would have.
 * Windows: directory\bin\javai.dll.  Linux: directory/lib/server/libjvm.so. */
int HostClassicJvmPath(char *out, size_t capacity, const char *directory);

/* The path that Java opens (FileOutputStream) for the named pipe `pipeName`
 * ("\\.\PIPE\NAME"). Windows: the name itself. Linux: the pipe's client entry
 * under the root, which leads to the server's FIFO only while a server waits for
 * its client; otherwise an open of it fails at once and creates nothing. */
int HostJavaPipePath(char *out, size_t capacity, const char *pipeName);

/* Whether the C runtime's standard streams turn every "\n" into "\r\n" (text
 * mode): 1 on Windows, 0 on Linux. Text that ends its lines in "\r\n" must
 * reach such a stream with "\n" alone, or the console reads "\r\r\n". */
extern const int hostStreamsAddCarriageReturn;

/* After SetStdHandle has made `out` and `err` (HANDLEs) the process's
 * standard output and error: points the C runtimes that have already started
 * at them too. Windows: a C runtime takes its standard descriptors and streams
 * from the process's standard handles once, when it starts, and keeps them;
 * one that starts later (that of a runtime library loaded afterwards) takes
 * the new ones by itself, while this program's own and the universal C
 * runtime, when something has loaded it already, are moved here. Linux:
 * nothing to do, descriptors 1 and 2 are the one C library's. 0, or 1 when a
 * runtime could not be moved. */
int HostPointRuntimeStreams(void *out, void *err);

/* How an executable image begins: "MZ" on Windows, the ELF magic on Linux. */
extern const char hostImageMagic[];
extern const size_t hostImageMagicLength;

/* Whether `c` separates directories: '\\' or '/' on Windows, '/' on Linux. */
int HostIsPathSeparator(char c);

/* `path` without its last name and the separators around it: "C:\\jdk" of
 * "C:\\jdk\\bin\\". 1 (with an empty text) when nothing remains. */
int HostParentDirectory(char *out, size_t capacity, const char *path);

/* The character between the directories of PATH: ';' or ':'. */
extern const char hostPathListSeparator;

/* The Java home of the launcher in the PATH directory `directory`: the parent
 * of the directory that holds it. Windows: directory\java.exe, the entry
 * unquoted, no link followed (a folder of launcher copies such as javapath
 * gives its own parent). Linux: directory/java with its links followed to
 * <home>/bin/java. 1 (with an empty text) when there is no launcher there. */
int HostJavaHomeOfLauncher(char *out, size_t capacity, const char *directory);

/* 64 or 32 for a library image of that word size (the PE optional header's
 * magic on Windows, the ELF class on Linux); 0 when the file cannot be read
 * or is no image. */
int HostImageBits(const char *path);

/* How the user names the build of Pelorim that loads libraries of `bits`:
 * "x64\pelorim.exe" or "x86\pelorim.exe" of the zip on Windows. */
const char *HostBuildForBits(int bits);

/* Where the system looked for the libraries that a runtime library needs,
 * after the program gave it `runtimeDirectory` (SetDllDirectoryA), as a
 * phrase for a message. */
int HostDependencySearchText(char *out, size_t capacity, const char *runtimeDirectory);

#endif

/*
 * The few facts that differ between the platforms and are not Win32 calls.
 * One implementation per platform: platform/windows/host.cpp, platform/posix/host.cpp;
 * the path helpers (HostIsAbsolutePath, HostParentDirectory, HostJoinPath) are
 * written once, in platform/host_paths.cpp, over HostIsPathSeparator and
 * hostHasDriveLetters.
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

/* The longest command that the shell of a "CMD.EXE /C " line takes after the
 * prefix: 8191 characters on Windows, cmd.exe's own line; on Linux, where the
 * rest of the line goes whole to /bin/sh -c, no less than a command line holds. */
extern const size_t hostShellCommandCapacity;

/* The index in the program's argv of the first argument that did not come
 * through whole, or 0 when all did, with the process's ANSI code page in
 * *codePage. Windows hands a program its command line in UTF-16; the ANSI argv
 * carries a character that the code page lacks as "?" or a look-alike. Every
 * argument comes through where that code page is UTF-8 (the manifest asks for
 * it, from Windows 10 1903), and always on Linux, where arguments are bytes. */
int HostLostArgument(unsigned *codePage);

/* How an executable image begins: "MZ" on Windows, the ELF magic on Linux. */
extern const char hostImageMagic[];
extern const size_t hostImageMagicLength;

/* Whether `c` separates directories: '\\' or '/' on Windows, '/' on Linux. */
int HostIsPathSeparator(char c);

/* Whether a path may begin with a drive letter and a colon ("C:"): 1 on
 * Windows, 0 on Linux, where "C:" is a name like any other. */
extern const int hostHasDriveLetters;

/* `path` without its last name and the separators around it: "C:\\jdk" of
 * "C:\\jdk\\bin\\". A drive's root keeps its separator ("C:\\" of
 * "C:\\jvm.dll"): "C:" alone would name that drive's current directory.
 * 1 (with an empty text) when nothing remains. */
int HostParentDirectory(char *out, size_t capacity, const char *path);

/* `directory` followed by `rest`, which begins with a separator, with the
 * separators that end `directory` left out, so that a home written with a
 * trailing separator (as installers write JavaHome and JAVA_HOME) joins
 * without a doubled one: "C:\\jdk\\" and "\\bin" give "C:\\jdk\\bin". */
int HostJoinPath(char *out, size_t capacity, const char *directory, const char *rest);

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

/* Right after LoadLibraryA failed on `libraryPath` with ERROR_MOD_NOT_FOUND
 * although the file is there: the name of the first library that it needs
 * and that cannot be loaded. Windows: the first DLL of its import table that
 * the process's own search (SetDllDirectoryA included) cannot load, probed
 * with LoadLibraryA and freed again; API set names are the system's to
 * resolve and are passed over. Linux: the library that the dynamic linker
 * said it could not open. 1 (with an empty text) when none can be named. */
int HostMissingLibrary(char *out, size_t capacity, const char *libraryPath);

#endif

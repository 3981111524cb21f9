/*
 * dllprobe.exe NAME [FLAG]: loads the DLL NAME by its bare name, as a program
 * binds its imports, and prints which file the system's search took, or that
 * it found none; then writes FLAG, when given. A test fixture only: the
 * shutdown command runs it to show the search that the service's programs
 * inherit.
 */
#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    HMODULE library = LoadLibraryA(argv[1]);
    char path[MAX_PATH + 1] = "";
    if (library != NULL && GetModuleFileNameA(library, path, MAX_PATH) != 0)
        printf("dllprobe: %s from %s\n", argv[1], path);
    else
        printf("dllprobe: %s not found (%lu)\n", argv[1], (unsigned long)GetLastError());
    fflush(stdout);
    if (argc > 2) {
        FILE *flag = fopen(argv[2], "w");
        if (flag != NULL) fclose(flag);
    }
    return 0;
}

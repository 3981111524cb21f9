/* What the layer's library loader knows about image files, for host.cpp. */
#ifndef PELORIM_POSIX_LIBRARY_H
#define PELORIM_POSIX_LIBRARY_H

/* 64 or 32 for an ELF image of that class; 0 when the file cannot be read or
 * is no ELF image. */
int ElfImageBits(const char *path);

/* The library that the dynamic linker could not open in the latest failed
 * LoadLibraryA of this process, as its message names it (the one asked for, or
 * one that it needs); 1 when the latest failure named none. */
int LastUnopenedLibrary(char *out, size_t capacity);

#endif

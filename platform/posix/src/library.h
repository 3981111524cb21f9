/* What the layer's library loader knows about image files, for host.cpp. */
#ifndef PELORIM_POSIX_LIBRARY_H
#define PELORIM_POSIX_LIBRARY_H

/* 64 or 32 for an ELF image of that class; 0 when the file cannot be read or
 * is no ELF image. */
int ElfImageBits(const char *path);

#endif

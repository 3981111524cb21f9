/*
 * What the platforms' host.cpp files share with host_paths.cpp, where the path
 * helpers of host.h are written once. Not for the product: it uses host.h.
 */
#ifndef PELORIM_HOST_PATHS_H
#define PELORIM_HOST_PATHS_H

#include <stddef.h>

/* Ends a text that snprintf wrote into `out` (`written` its result; -1 for a
 * text that cannot be had): 0 when it fit, else 1 with `out` emptied, as
 * host.h promises of every text. */
int FormatInto(char *out, size_t capacity, int written);

/* The length of `path` without the separators that end it. */
int TrimmedLength(const char *path);

#endif

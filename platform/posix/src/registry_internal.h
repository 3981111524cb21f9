/* Registry helpers for the rest of the layer (the service controller). */
#ifndef PELORIM_POSIX_REGISTRY_INTERNAL_H
#define PELORIM_POSIX_REGISTRY_INTERNAL_H

#include <windows.h>

/* Deletes the key `path` under `root` with all its subkeys and values, in one
 * transaction: 0, or ERROR_FILE_NOT_FOUND when the key does not exist. */
LONG DeleteRegistryTree(HKEY root, const char *path);

#endif

/* SHA-1 (FIPS 180-4), for the one name-derived identifier Windows makes with it. */
#ifndef PELORIM_SHA1_H
#define PELORIM_SHA1_H

#include <stddef.h>
#include <stdint.h>

/* The 20-byte digest of `size` bytes at `data`. */
void Sha1(const void *data, size_t size, uint8_t digest[20]);

#endif

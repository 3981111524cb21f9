/*
 * The Win32 subset that Pelorim calls, declared with the Win32 names, types,
 * constants and signatures so that the product compiles unchanged on POSIX.
 * Only what the program (and its tests) use is here; each call behaves as
 * Win32 documents it, including its last-error codes.
 */
#ifndef PELORIM_POSIX_WINDOWS_H
#define PELORIM_POSIX_WINDOWS_H

#include "win/base.h"
#include "win/errors.h"
#include "win/system.h"
#include "win/file.h"
#include "win/kernel.h"
#include "win/registry.h"
#include "win/eventlog.h"
#include "win/service.h"

#endif

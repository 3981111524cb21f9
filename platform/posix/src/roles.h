/*
 * The roles of the image (roles.cpp chooses one at load time): what a starter
 * puts in the environment of the image it starts, and the functions that play
 * each role.
 */
#ifndef PELORIM_POSIX_ROLES_H
#define PELORIM_POSIX_ROLES_H

#include <sys/types.h>

/* "3": the image is the keeper of a kill-on-close job, its socket descriptor 3. */
#define JOB_KEEPER_VARIABLE "PELORIM_JOB_KEEPER_FD"
enum { kJobKeeperFd = 3 };

/* All three: the image is the watcher of the service process PELORIM_WATCH_PID. */
#define WATCH_NAME_VARIABLE "PELORIM_WATCH_SERVICE"
#define WATCH_PID_VARIABLE "PELORIM_WATCH_PID"
#define WATCH_ROOT_VARIABLE "PELORIM_ROOT"

/* "<descriptor>,<pid>": the program's exit-result channel (exit_result.h). */
#define RESULT_FD_VARIABLE "PELORIM_RESULT_FD"

/* The entries of the roles. Each runs from a load-time constructor, before
 * main: plain libc (and SQLite for the watcher), nothing that needs a static
 * object of the program. The helpers never return into the program. */
[[noreturn]] void RunJobKeeper(void);                                            /* job.cpp */
[[noreturn]] void RunServiceWatch(const char *root, const char *name, pid_t pid); /* service_watch.cpp */
void TakeResultChannel(const char *text);                                        /* exit_result.cpp */

#endif

/*
 * Sleeping, the process id and child processes.  Every routine that forks
 * first installs the process's child reaper (initthreads), which collects
 * every child that exits; process_wait() still reports the exit code of a
 * child started by process_new() that the reaper collected first.
 */
#ifndef TOVI_THREAD_H
#define TOVI_THREAD_H

#include <sys/types.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* A child process: its process id. */
typedef pid_t tovi_process;

/* Blocks the calling thread for sec seconds (0 yields). */
TOVI_EXPORT void tovi_sleep(unsigned int sec);
/* Blocks the calling thread for usec microseconds. */
TOVI_EXPORT void tovi_usleep(unsigned int usec);
/* getpid(). */
TOVI_EXPORT pid_t process_id(void);
/* Installs the SIGCHLD reaper once per process. */
TOVI_EXPORT void initthreads(void);
/* Runs args[0] with args in a child.  fds (or none) lists, up to a -1
 * entry, the parent's descriptors that become the child's 0, 1, 2, ...
 * The child's id goes to *hdl when given.  0, or -1 when fork fails. */
TOVI_EXPORT int process_new(char *const args[], const int *fds, tovi_process *hdl);
/* Waits for the child: its exit code 0..255, or -1 (killed, not ours). */
TOVI_EXPORT int process_wait(tovi_process hdl);
/* Forks and ends the parent with status 0: 0 in the child, -1 on failure. */
TOVI_EXPORT int detachprocess(void);
/* fork(): the child's id in the parent, 0 in the child, -1 on failure. */
TOVI_EXPORT pid_t forkprocess(void);

TOVI_END_DECLS

#endif

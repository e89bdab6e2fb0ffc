/* Instance files and settings derived from the default configuration cache:
 * instance directory, process-id file, file ownership, service check,
 * partitions and log configuration.
 *
 * Thread safety: every call reads the default cache through its locked
 * getters; config_setinstancedir is for start-up only. */
#ifndef MUX_CONFIG_INSTANCE_H
#define MUX_CONFIG_INSTANCE_H

#include <stddef.h>

#include "log/qxlogger.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stores the pointer (not a copy); the string must live as long as the
 * process. */
void config_setinstancedir(const char *dir);
/* The directory set above, else "local.instancedir" (borrowed), else NULL. */
const char *config_getinstancedir(void);

/* Process-id file "<instancedir>/log/<name>.pid": the pid on the first line,
 * then an optional word.
 * Read: 0 = read, 1 = no instance directory, 2 = no number at the start,
 * otherwise the errno of the failed open.  When `text` is given, the word
 * after the number is stored there, cut to `textsize` - 1 bytes (empty when
 * there is none). */
int config_readpidfile(const char *name, unsigned long *pid, char *text, size_t textsize);
/* Write: 0, 1 = no instance directory, otherwise an errno.  Writes this
 * process's id and, when given, `text`; gives the file the configured owner. */
int config_writepidfile(const char *name, const char *text);
/* Remove: 0 = removed or absent, 1 = no instance directory, otherwise an
 * errno. */
int config_removepidfile(const char *name);

/* The running multiplexor's hold on its pid file.  The lock is taken on the
 * open file, which processes forked afterwards share: it stays held while
 * any process of the group runs and goes with the last of them, so a pid
 * file nobody holds is stale.
 * Take: creates the file when needed, locks it without waiting and empties
 * it; config_writepidfile then fills it, once the process is ready, so a
 * reader never sees an id without the word after it.  0; EAGAIN when a live
 * process holds it (its id in *holder, 0 when unknown); 1 = no instance
 * directory; otherwise an errno. */
int config_lockpidfile(const char *name, unsigned long *holder);
/* Check: 0 when a live process holds the file, ESRCH when none does,
 * 1 = no instance directory, otherwise the errno of the failed open. */
int config_checkpidfile(const char *name);
/* Release this process's share; the process that finds no other holder
 * left removes the file.  0, 1 = no instance directory, or an errno. */
int config_releasepidfile(const char *name);

/* chown(path) or fchown(fd) to the user's uid and the group's gid when both
 * names are known; 0 when nothing was to be done, else the call's result. */
int config_set_file_ownership(const char *user, const char *group, const char *path, int fd);
/* 2 = enabled, 1 = disabled. */
int config_checkservice(const char *service);

typedef void (*ConfigPartitionProc)(const char *name, const char *path);
/* Calls proc(partition name, path) for each "store.partition.*.path" option,
 * without any configuration lock held. */
void config_scanpartition(ConfigPartitionProc proc);
/* Partitions with a non-empty name and path as two parallel arrays (not
 * NULL-terminated); the caller frees every string and both arrays. */
void config_retpartitions(int *count, char ***names, char ***paths);

/* The "logfile.<service>.*" options (service "default" when NULL or empty) as
 * an owned LogConfig, or NULL; free with qxlog_freelogconfig. */
LogConfig config_getlogconfig(const char *service, const char *processname);
/* Configures the default log from it: 0, or -1 when there is none. */
int config_initlog(const char *service, const char *processname);

#ifdef __cplusplus
}
#endif

#endif

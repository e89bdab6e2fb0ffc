/* The log handle's record, for the writer and for tests that read back
 * what a configuration set; everyone else keeps to qxlogger.h. */
#ifndef MUX_QXLOGGER_INTERNAL_H
#define MUX_QXLOGGER_INTERNAL_H

#include <stdint.h>

#include "log/qxlogger.h"
#include "tovi/mutex.h"

struct LogHandle {
    char *servicename;
    char *processname;
    int32_t pid;
    uint32_t euid;
    char *logdir;
    tovi_mutex lock;
    int32_t nolock;
    uint32_t created;
    int fd;
    int32_t logfacility;
    int32_t loglevel;
    uint32_t rollovertime;
    uint32_t expirytime;
    uint32_t maxlogfilesize;
    uint32_t maxlogfiles;
    uint32_t maxlogsize;
    int32_t syslogfacility;
    uint32_t minfreediskspace;
    int32_t flushinterval;
    int32_t buffersize;
    char *serveruid;
    char *servergid;
    uint32_t lastseq;
};

#endif

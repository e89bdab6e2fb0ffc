/*
 * Wait requests: what an asynchronous data source asks the socket layer to
 * wait for before it is called again (a time limit and descriptors with
 * events). Plain records, no functions.
 */
#ifndef PLAT_WAITFOR_H
#define PLAT_WAITFOR_H

/* Event codes of WaitingForFd.nEvents (may be or-ed). */
#define WAITINGFOR_READ 1
#define WAITINGFOR_WRITE 2

typedef struct WaitingForFd {
  int nFd;     /* descriptor to watch */
  int nEvents; /* WAITINGFOR_READ and/or WAITINGFOR_WRITE */
} WaitingForFd;

typedef struct WaitingFor {
  int nMsecs;              /* time limit in milliseconds; -1 = none */
  int nNumFds;             /* entries in awffdList */
  WaitingForFd *awffdList; /* descriptors to watch */
} WaitingFor;

#endif

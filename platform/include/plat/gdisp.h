/*
 * Dispatch contexts, dispatch objects, timers, semaphores and byte pipes.
 *
 * A dispatch context (GDispCx) owns a pool of worker threads. Every
 * asynchronous wait in the platform library is a one-shot registration of a
 * callback fn(arg) on a dispatch object (GDisp); the callback runs once on a
 * worker thread of the object's context and re-arms the wait itself when it
 * wants more.
 *
 * Serialisation: callbacks of one dispatch object never run at the same
 * time, nor do the callbacks of objects joined into one group with
 * GDisp_Group. A group may be formed after a wait was armed: the group is
 * looked up when the wait completes.
 *
 * Cancel and delete: once GDisp_Cancel or GDisp_Delete has returned, no
 * callback armed on the object before that call runs any more, even if its
 * completion was already queued. Called from the object's own group (the
 * usual case) this is exact; called from another thread while one of the
 * object's callbacks is running, that running callback finishes.
 *
 * Threads: every function here may be called from any thread unless stated.
 */
#ifndef PLAT_GDISP_H
#define PLAT_GDISP_H

#include <stdint.h>
#include <sys/uio.h>

#include "plat/export.h"

PLAT_BEGIN_DECLS

typedef struct GDispCx GDispCx;
typedef struct GDisp GDisp;
typedef struct GDispSem GDispSem;
typedef struct ASPipe ASPipe;

/* Every callback of the library: runs once per arming, on a worker thread. */
typedef void (*GDispFn)(void *arg);

/* ---- dispatch contexts ------------------------------------------------ */

/* A new context with nThreads worker threads (at least 1), or NULL.
 * nPriorities: priority levels of its objects (2 = normal and raised).
 * nStackSize: minimum stack size of a worker in bytes; the system default
 * is kept when it is larger. No thread starts before GDispCx_DispatchLoop. */
PLAT_EXPORT GDispCx *GDispCx_New(int nPriorities, int nThreads, int nStackSize);

/* Starts the workers and blocks the calling thread until GDispCx_Shutdown;
 * then stops and joins the workers and returns 0. Callbacks still queued
 * at that moment do not run. Returns at once (0) when a shutdown arrived
 * before the call; -1 for a NULL context or a loop already running. */
PLAT_EXPORT int GDispCx_DispatchLoop(GDispCx *pgdc);

/* Makes the dispatch loop return. Async-signal-safe: may be called from a
 * signal handler, from a callback or before the loop starts (then the next
 * GDispCx_DispatchLoop returns at once). */
PLAT_EXPORT void GDispCx_Shutdown(GDispCx *pgdc);

/* Releases a context whose loop has returned (or never ran), together with
 * every dispatch object still alive on it; sockets armed on it are detached
 * (they stay open and can be armed on another context). Objects of the
 * context must not be used afterwards, and no other thread may use them
 * meanwhile. Never call it from one of the context's own callbacks. */
PLAT_EXPORT void GDispCx_Delete(GDispCx *pgdc);

/* ---- dispatch objects ------------------------------------------------- */

/* A new dispatch object on the context, in a group of its own; NULL on
 * failure. */
PLAT_EXPORT GDisp *GDisp_New(GDispCx *pgdc);

/* b leaves its group and joins a's: from now on no callback of b runs at
 * the same time as one of a's group. Both must belong to one context.
 * Returns 0, or -1 for bad arguments. */
PLAT_EXPORT int GDisp_Group(GDisp *pgdA, GDisp *pgdB);

/* Records the object's priority (1 normal, 2 raised). Returns 0 or -1. */
PLAT_EXPORT int GDisp_SetPriority(GDisp *pgd, int nPriority);

/* Cancels every wait armed on the object so far: their callbacks will not
 * run. The object stays usable for new waits. Returns 0 or -1. */
PLAT_EXPORT int GDisp_Cancel(GDisp *pgd);

/* Cancels as GDisp_Cancel and destroys the object; its memory goes when the
 * last queued completion has been dropped. NULL is ignored. */
PLAT_EXPORT void GDisp_Delete(GDisp *pgd);

/* 0 when the object's last asynchronous operation succeeded, else the
 * system error number it ended with. Meant for the callback itself. */
PLAT_EXPORT int GDisp_GetAsyncError(GDisp *pgd);

/* Resolves a host name (or dotted IPv4 text) in the background. When done,
 * on success the first IPv4 address is stored through pnAddr (network byte
 * order) and GDisp_GetAsyncError is 0; on failure *pnAddr is untouched and
 * the error is non-zero. fn(arg) runs in either case. Returns 0 when armed,
 * -1 for bad arguments (fn will not run). */
PLAT_EXPORT int GDisp_GetAddr(GDisp *pgd, const char *pszHost, uint32_t *pnAddr, GDispFn fn,
                              void *arg);

/* fn(arg) once after nMsecs milliseconds (0 = as soon as possible). An
 * object has one timer: arming it again while a timer with a period is
 * pending replaces that timer. Returns 0 when armed, -1 for bad arguments. */
PLAT_EXPORT int GDisp_Timer(GDisp *pgd, uint32_t nMsecs, GDispFn fn, void *arg);

/* ---- semaphores ------------------------------------------------------- */

/* A counting semaphore with the given initial count, or NULL. */
PLAT_EXPORT GDispSem *GDispSem_New(int nCount);

/* One-shot: as soon as the semaphore can be taken it is taken and fn(arg)
 * runs on pgd. One wait may be armed at a time: -1 when a live wait is
 * already armed or for bad arguments, else 0. */
PLAT_EXPORT int GDispSem_P(GDispSem *psem, GDisp *pgd, GDispFn fn, void *arg);

/* Releases once, from any thread. With no live wait armed the release is
 * held for the next GDispSem_P. Returns 0 or -1. */
PLAT_EXPORT int GDispSem_V(GDispSem *psem);

/* Destroys the semaphore; an armed wait is dropped. NULL is ignored. */
PLAT_EXPORT void GDispSem_Delete(GDispSem *psem);

/* ---- byte pipes ------------------------------------------------------- */

/* A byte queue. nCapacity is the size of the blocks that hold queued bytes
 * (a larger write gets a block of its own), and so the most one chunk of
 * the reader holds; the queue itself has no limit. An empty pipe holds no
 * buffer memory: freed blocks of 4 KiB to 256 KiB wait for reuse in a
 * cache of at most 4 MiB for the whole process. NULL on failure. */
PLAT_EXPORT ASPipe *ASPipe_New(uint32_t nCapacity);

/* Copies the bytes in at once. One call's bytes stay contiguous and calls
 * keep their order, across threads. Returns 0, or -1 (bad arguments or no
 * memory: nothing was queued). Any thread. */
PLAT_EXPORT int ASPipe_Write(ASPipe *pipe, const void *pBuf, uint32_t nLen);

/* One-shot: the chunk handed out by the previous ASPipe_Read is released;
 * as soon as bytes are queued, the next chunk (possibly joining several
 * writes) is stored through ppBuf and pnLen and fn(arg) runs on pgd. The
 * chunk stays valid until the next ASPipe_Read or ASPipe_Delete. One reader
 * at a time: -1 when a live read is already armed or for bad arguments. */
PLAT_EXPORT int ASPipe_Read(ASPipe *pipe, char **ppBuf, uint32_t *pnLen, GDisp *pgd, GDispFn fn,
                            void *arg);

/* Zero-copy writes. ASPipe_AllocBuf gives a buffer of nCapacity bytes (or
 * NULL) that belongs to no pipe yet; the caller fills it and either hands
 * its first nLen bytes to a pipe with ASPipe_WriteBuf, which queues the
 * buffer itself (as one contiguous write, in order with every other write)
 * and frees it once read, or gives it back with ASPipe_FreeBuf. ASPipe_WriteBuf
 * always takes the buffer, also when it fails (-1: bad arguments, a deleted
 * pipe); 0 otherwise. Any thread. */
PLAT_EXPORT char *ASPipe_AllocBuf(uint32_t nCapacity);
PLAT_EXPORT int ASPipe_WriteBuf(ASPipe *pipe, char *pBuf, uint32_t nLen);
PLAT_EXPORT void ASPipe_FreeBuf(char *pBuf);

/* For the reader, from its own callback with no read armed: releases the
 * chunk handed out last and, when bytes are queued, hands out the next chunk
 * at once (1). 0 when the pipe is empty (then arm ASPipe_Read to wait), -1
 * for bad arguments, a deleted pipe or a read still armed. */
PLAT_EXPORT int ASPipe_Next(ASPipe *pipe, char **ppBuf, uint32_t *pnLen);

/* Passes bytes on without queueing them: returns how many of the nIov
 * buffers' bytes it took, in order (<= their total), or a negative number
 * for none. Runs under the pipe's lock: it must not block or call into the
 * pipe. */
typedef int (*ASPipeSendFn)(void *arg, const struct iovec *pIov, int nIov);

/* Writes the nIov buffers in order as one write (what is queued is
 * contiguous), except that when the pipe is empty and its reader waits
 * (nothing handed out), the bytes are first offered to fnSend(arg, ...) and
 * only what it does not take is queued (and then wakes the reader as
 * usual). For a reader that would do nothing but send the chunk on, this
 * saves the wake-up and the copy. Returns the number of bytes fnSend took
 * (0 to the total), or -1 (bad arguments, no memory for the rest, a deleted
 * pipe: the bytes not taken were not queued). Any thread. */
PLAT_EXPORT int ASPipe_WriteThrough(ASPipe *pipe, const struct iovec *pIov, int nIov,
                                    ASPipeSendFn fnSend, void *arg);

/* ASPipe_WriteBuf with the direct path of ASPipe_WriteThrough: only what
 * fnSend does not take is queued, in the buffer itself. Returns the number
 * of bytes fnSend took, or -1 as ASPipe_WriteBuf; the buffer is taken in
 * every case (a NULL fnSend is refused). */
PLAT_EXPORT int ASPipe_WriteBufThrough(ASPipe *pipe, char *pBuf, uint32_t nLen, ASPipeSendFn fnSend,
                                       void *arg);

/* Bytes queued and not yet released by the reader (the chunk handed out
 * last included); a snapshot, for flow control. 0 for NULL. Any thread. */
PLAT_EXPORT uint64_t ASPipe_Queued(ASPipe *pipe);

/* Destroys the pipe with its queued bytes; an armed read is dropped. NULL is
 * ignored. */
PLAT_EXPORT void ASPipe_Delete(ASPipe *pipe);

PLAT_END_DECLS

#endif

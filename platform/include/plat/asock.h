/*
 * Asynchronous TCP sockets on the dispatch library (plat/gdisp.h), with an
 * optional SSL layer.
 *
 * A socket is not bound to a dispatch context: each wait runs on the
 * dispatch object it is armed on. Waits are one-shot; the callback re-arms.
 * Reads and writes are non-blocking. No write raises SIGPIPE: a write to a
 * reset peer reports an error.
 *
 * Threads: a socket may be read on one dispatch object and written on
 * another at the same time; arming, reading and deleting one socket from
 * several threads at once is not supported.
 */
#ifndef PLAT_ASOCK_H
#define PLAT_ASOCK_H

#include <stdint.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "plat/asockdyn.h"
#include "plat/export.h"
#include "plat/gdisp.h"

PLAT_BEGIN_DECLS

typedef struct ASock ASock;

/* ASock_GetLastError value meaning "try again" (EAGAIN). */
#define ASOCK_ETRYAGAIN 11
/* Error number of a read from an SSL socket whose first bytes cannot begin
 * a TLS handshake (EPROTO): the peer speaks something else. */
#define ASOCK_ENOTSSL 71

/* Modes of ASock_Delete. */
#define ASOCK_CLOSE_PLAIN 0   /* listening socket, server link, refused */
#define ASOCK_CLOSE_ORDERLY 1 /* client connection: SSL close-notify first */
#define ASOCK_CLOSE_ABORT 2   /* reset: unsent bytes are dropped at once */

/* ---- creation and deletion ------------------------------------------- */

/* A listening TCP socket bound to nAddr (IPv4, network order; 0 = all
 * interfaces) and nPort (host order; 0 = an ephemeral port), or NULL when
 * the socket cannot be made or bound (errno then says why). */
PLAT_EXPORT ASock *ASock_NewBound(uint32_t nAddr, int nPort);

/* A new, unconnected TCP socket, or NULL. */
PLAT_EXPORT ASock *ASock_New(void);

/* Closes and frees the socket. The callbacks of waits and background
 * writes armed on it do not run any more (not even when their completion
 * was already queued). nMode: ASOCK_CLOSE_PLAIN or ASOCK_CLOSE_ORDERLY.
 * NULL is ignored. */
PLAT_EXPORT void ASock_Delete(ASock *psock, int nMode);

/* ---- listening ------------------------------------------------------- */

/* One-shot: fn(arg) runs on pgd when a connection can be accepted. While
 * the process is out of descriptors the wait is delayed (back-off) rather
 * than reported at once. Returns 0 when armed, -1 otherwise. */
PLAT_EXPORT int ASock_Acceptable(ASock *plisten, GDisp *pgd, GDispFn fn, void *arg);

/* The next pending connection as a non-blocking socket, or NULL when none
 * is pending or it cannot be taken now (then ASock_GetLastError on the
 * listening socket tells why). The peer's address is stored in pAddr
 * (*pnAddrLen bytes of room, updated to the length stored) when pAddr is
 * not NULL. nFlags and nReserved: pass 0. */
PLAT_EXPORT ASock *ASock_Accept(ASock *plisten, struct sockaddr *pAddr, int *pnAddrLen, int nFlags,
                                int nReserved);

/* ---- connecting ------------------------------------------------------ */

/* Starts connecting to pAddr (nAddrLen bytes, IPv4). fn(arg) runs on pgd
 * when the attempt ends; GDisp_GetAsyncError(pgd) is then 0 on success or
 * the error number. Returns 0 when armed (fn will run), -1 for bad
 * arguments (fn will not run). */
PLAT_EXPORT int ASock_Connect(ASock *psock, const struct sockaddr *pAddr, int nAddrLen, GDisp *pgd,
                              GDispFn fn, void *arg);

/* ---- reading --------------------------------------------------------- */

/* One-shot: fn(arg) runs on pgd when the socket is readable or closed.
 * Returns 0 when armed, -1 otherwise. */
PLAT_EXPORT int ASock_Readable(ASock *psock, GDisp *pgd, GDispFn fn, void *arg);

/* Reads at once without blocking: > 0 bytes read; 0 the peer closed; -1
 * nothing to read now; -2 an error, whose number ASock_GetLastError gives
 * (it is also recorded as the async error of the dispatch object of the
 * socket's last ASock_Readable). With nMax 0 an SSL socket advances its
 * handshake; a plain socket gives 0 when the peer has closed, else -1.
 * The first read of an SSL socket fails with ASOCK_ENOTSSL as soon as the
 * peer's first bytes cannot begin a TLS handshake (they are left unread). */
PLAT_EXPORT int ASock_Recv(ASock *psock, void *pBuf, int nMax);

/* As ASock_Recv, filling the nIov buffers (1 to 64, 1 GB in all at most)
 * one after another with a single read: the result is the number of bytes
 * read in all, 0, -1 or -2 as for ASock_Recv. */
PLAT_EXPORT int ASock_RecvV(ASock *psock, const struct iovec *pIov, int nIov);

/* ---- writing --------------------------------------------------------- */

/* Writes at once without blocking: the number of bytes sent (possibly fewer
 * than nLen, or 0 when nLen is 0), or -2 for an error (ASock_GetLastError:
 * ASOCK_ETRYAGAIN when the socket cannot take bytes now). */
PLAT_EXPORT int ASock_Send(ASock *psock, const void *pBuf, int nLen);

/* As ASock_Send for the nIov buffers (1 to 64, 1 GB in all at most) in
 * turn, with a single write: the number of bytes sent in all (possibly
 * fewer), or -2 for an error. */
PLAT_EXPORT int ASock_SendV(ASock *psock, const struct iovec *pIov, int nIov);

/* Writes all nLen bytes in the background. When done, *pnStatus is set (0
 * success, -2 error with GDisp_GetAsyncError(pgd) the error number) and
 * fn(arg) runs on pgd. pBuf must stay valid until then. One background
 * write per socket at a time. Returns 0 when armed, -1 for bad arguments or
 * a write already in progress (fn will not run). */
PLAT_EXPORT int ASock_AsyncWrite(ASock *psock, const void *pBuf, uint32_t nLen, int *pnStatus,
                                 GDisp *pgd, GDispFn fn, void *arg);

/* As ASock_AsyncWrite, draining the data source until its getBuf hands out
 * an empty piece. The source must stay valid until fn runs; the caller
 * frees it afterwards. */
PLAT_EXPORT int ASock_AsyncWriteDynamic(ASock *psock, ASockDynamic *pasd, int *pnStatus, GDisp *pgd,
                                        GDispFn fn, void *arg);

/* ---- state ----------------------------------------------------------- */

/* The error number of the socket's last failed call (0 when none). */
PLAT_EXPORT int ASock_GetLastError(ASock *psock);

/* Bytes the socket holds because its descriptor did not take them: on an
 * SSL socket, what the SSL layer keeps of the records it made (at most
 * about one record; while it holds them it reports one byte fewer than it
 * took, so that the sender's retry of that byte pushes the rest out). 0 for
 * plain sockets. Any thread, while the socket exists. */
PLAT_EXPORT uint64_t ASock_SendQueued(ASock *psock);

/* The socket's descriptor (-1 when NULL). The socket keeps owning it. */
PLAT_EXPORT int ASock_GetFd(ASock *psock);

/* ---- SSL layer ------------------------------------------------------- */

/* Warning callback: receives the flag it was handed and one message; its
 * result is handed back to the layer. */
typedef int (*ASockSSLWarnFn)(int nFirst, const char *pszMessage);
/* Decides about a client certificate that failed verification: 0 accepts. */
typedef int (*ASockSSLBadCertFn)(void *arg);

/* Sets up the SSL layer once per process: certificate and key databases in
 * pszConfigDir with the given prefixes, the security module file, the
 * password file that unlocks the key database, the NULL-terminated server
 * certificate nicknames and the session cache directory. Warnings go to
 * fnWarn. nFlags: pass 0. Non-zero on success. */
PLAT_EXPORT int ASockSSL_Init(const char *pszConfigDir, const char *pszCertPrefix,
                              const char *pszKeyPrefix, const char *pszSecmod,
                              const char *pszPasswordFile, char **papszNicknames,
                              const char *pszCacheDir, ASockSSLWarnFn fnWarn, int nFlags);

/* Enables SSL (server side) on a listening socket: sockets accepted from it
 * speak SSL. nFlags: pass 0. Non-zero on success. */
PLAT_EXPORT int ASockSSL_Enable(ASock *psock, int nFlags);

/* Installs the bad-certificate hook of a listening socket. 0 on success. */
PLAT_EXPORT int ASockSSL_SetBadCertHook(ASock *psock, ASockSSLBadCertFn fn, void *arg);

/* Installs the handshake-completion hook of a client socket; it runs once,
 * inside the ASock_Recv that completes the handshake. 0 on success. */
PLAT_EXPORT int ASockSSL_SetHandshakeHook(ASock *psock, GDispFn fn, void *arg);

/* Releases the SSL layer at process end, after its sockets are deleted. */
PLAT_EXPORT void ASockSSL_Cleanup(void);

PLAT_END_DECLS

#endif

/* The writer chain: what hands a byte pipe's chunks to a socket, in order.
 * A client (Conn) and the server link each have one; they differ only in
 * their hooks.
 *
 * The pipe (ASPipe, plat/gdisp.h) is written by whoever has bytes for the
 * peer and read by this chain alone. The chain waits on the pipe
 * (ASPipe_Read); while it waits on an empty pipe a writer may send through
 * the pipe's direct path (ASPipe_WriteThrough, ASPipe_WriteBufThrough)
 * straight to the socket, so the chain and the direct path never send at the
 * same time and never reorder bytes.
 *
 * A chunk the socket takes whole is sent on the spot and the next one taken
 * at once (ASPipe_Next), up to MUX_WRITER_CHUNKS_PER_RUN in one run, so that
 * a peer fed without pause still lets its dispatch group run; a chunk the
 * socket cannot take at once goes to a background write (ASock_AsyncWrite),
 * whose end moves the chain on.
 *
 * Threads: every step runs on the chain's dispatcher `gd`; the record is
 * the owner's and lives as long as it does. */
#ifndef MUX_RELAY_MUX_WRITER_H
#define MUX_RELAY_MUX_WRITER_H

#include <stdint.h>

#include "plat/asock.h"
#include "plat/gdisp.h"

#define MUX_WRITER_CHUNKS_PER_RUN 16

struct MuxWriter;

/* What the owner does at each step (owner is MuxWriter.owner). */
struct MuxWriterHooks {
    /* A chunk has arrived: false drops out of the chain (NULL: always write). */
    bool (*may_write)(void *owner);
    /* A chunk went out or failed: wstatus says which (MuxIoResult). */
    void (*wrote)(void *owner, const MuxWriter *w);
    /* A background write ended: false ends the chain, true waits for the
     * next chunk. */
    bool (*go_on)(void *owner);
    /* The chain waits on the pipe again (NULL: nothing to do). */
    void (*waiting)(void *owner);
};

struct MuxWriter {
    ASock *sock;
    ASPipe *pipe;
    GDisp *gd;
    char *wbuf; /* the chunk in hand */
    uint32_t wlen;
    int32_t wstatus; /* MuxIoResult of the chunk in hand */
    const MuxWriterHooks *hooks;
    void *owner;
};

void mux_writer_init(MuxWriter *w, ASock *sock, ASPipe *pipe, GDisp *gd, const MuxWriterHooks *hooks, void *owner);
/* Starts the chain: it waits for the pipe's first chunk. */
void mux_writer_start(MuxWriter *w);

#endif

/* Names for the values the relay's I/O calls give besides byte counts, and
 * for the status codes the relay hands on. All of them are zero or negative,
 * so none can be taken for a byte count or for an errno value (the error
 * numbers themselves come from ASock_GetLastError or GDisp_GetAsyncError,
 * and are positive). */
#ifndef MUX_RELAY_MUX_IO_H
#define MUX_RELAY_MUX_IO_H

/* Results of ASock_Recv, ASock_RecvV and ASock_Send below 1, and the status
 * a background write (ASock_AsyncWrite) leaves in its status word. */
enum MuxIoResult {
    MUX_IO_DONE = 0,     /* a background write: every byte went out */
    MUX_IO_NOTHING = -1, /* a read: nothing to read now */
    MUX_IO_ERROR = -2    /* a read, send or background write failed */
};
/* A read's 0 is the peer's end of stream. */
#define MUX_IO_EOF 0

/* What an acknowledgement (MuxAckFn) is called with when the connection the
 * bytes were meant for was already closing: the bytes are dropped. */
#define MUX_ACK_CLOSING (-1001)

/* A client read's error shows in the debug log both as its number and,
 * after a slash, in the older hexadecimal form: the number offset by this
 * much. */
#define MUX_LOG_ERROR_BIAS 12288

#endif

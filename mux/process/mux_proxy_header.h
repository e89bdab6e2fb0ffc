/* The PROXY protocol header a load balancer puts before a client's bytes to
 * say who the client is: version 1 (one text line) or version 2 (binary).
 *
 * mux_proxy_parse is a pure function of its input: it reads no more than it
 * is given, keeps no state and may run on any thread. */
#ifndef MUX_MUX_PROXY_HEADER_H
#define MUX_MUX_PROXY_HEADER_H

#include <stddef.h>
#include <stdint.h>

/* A version 1 header is at most this long, its "\r\n" included. */
#define MUX_PROXY_V1_MAX 107
/* A version 2 header is 16 bytes and a body of at most this many bytes
 * (addresses and any extensions); a longer one is refused. */
#define MUX_PROXY_V2_BODY_MAX 1024
/* The longest header of either version: room enough to read one. */
#define MUX_PROXY_HEADER_MAX (16 + MUX_PROXY_V2_BODY_MAX)

enum MuxProxyStatus {
    MUX_PROXY_COMPLETE,  /* a whole header: its fields are filled in */
    MUX_PROXY_NEED_MORE, /* every byte so far belongs to an unfinished header */
    MUX_PROXY_INVALID,   /* not a header, or a bad one: `why` says what */
};

enum MuxProxyFamily {
    MUX_PROXY_UNSPEC, /* v1 UNKNOWN, v2 family 0 or any a TCP server cannot use */
    MUX_PROXY_INET,
    MUX_PROXY_INET6,
    MUX_PROXY_UNIX,
};

struct MuxProxyHeader {
    int version; /* 1 or 2 */
    int local;   /* v2 LOCAL or v1 UNKNOWN: the balancer speaks for itself */
    MuxProxyFamily family;
    /* IPv4 addresses in network order, ports in host order; set for
     * MUX_PROXY_INET only (otherwise 0). */
    uint32_t src_addr, dst_addr;
    uint16_t src_port, dst_port;
    size_t length;   /* bytes of the header, never more than the input */
    const char *why; /* for MUX_PROXY_INVALID: a static text */
};

/* Looks at the first n bytes of a connection. With MUX_PROXY_COMPLETE the
 * header is the first h->length bytes and what follows is the client's;
 * MUX_PROXY_NEED_MORE is only said while the header may still end within
 * MUX_PROXY_HEADER_MAX bytes. */
MuxProxyStatus mux_proxy_parse(const unsigned char *p, size_t n, MuxProxyHeader *h);

#endif

/* Records of the multiplexor-to-server link, protocol version 3.0.
 *
 * Every client is known on the link by its connection number; records follow
 * one another back to back, integers are 32-bit big-endian:
 *   REC_OPEN  01 id addr          (9 bytes; addr = client IPv4, network order)
 *   REC_CLOSE 02 id               (5 bytes)
 *   REC_DATA  03 id L data[L]     (9 + L bytes)
 *   REC_HELLO 04 major minor      (3 bytes, once, before any record)
 *   REC_BYE   05 xxxx             (5 bytes, server only)
 *
 * The codec lives in mux_records.cc. The builders write into caller memory; the parser is a pure state machine
 * kept in the server link and fed whatever each read of the link returned.
 * Thread safety: a parser is used by one thread at a time (the link's single
 * pending read); the builders are reentrant. */
#ifndef MUX_MUX_RECORDS_H
#define MUX_MUX_RECORDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { REC_OPEN = 1, REC_CLOSE = 2, REC_DATA = 3, REC_HELLO = 4, REC_BYE = 5 };

#define MUX_PROTOCOL_MAJOR 3
#define MUX_PROTOCOL_MINOR 0

#define MUX_REC_HEADER 9 /* type, number, length of a data record */
#define MUX_REC_OPEN_SIZE 9
#define MUX_REC_CLOSE_SIZE 5
#define MUX_REC_MAX 4096                                /* largest record the multiplexor sends */
#define MUX_REC_MAX_DATA (MUX_REC_MAX - MUX_REC_HEADER) /* 4087 */
#define MUX_SERVER_READ 65536                           /* most bytes one read of the server link takes */
#define MUX_SERVER_PIECES 32                            /* most data pieces passed to a client at once */
/* Most bytes the relay puts into one send of its own making: 15 records of
 * 4096. A send must fit one TCP segment of the loopback's 64 KiB MTU (65483
 * bytes of data), or every 64 KiB send would trail a 53-byte segment that
 * costs a whole packet's processing; elsewhere the size makes no difference. */
#define MUX_SEND_MAX (15 * MUX_REC_MAX)

/* Parser states; the values are those the link's debug output shows. */
enum { RD_TYPE = 0, RD_ID = 1, RD_LEN = 2, RD_DATA = 3, RD_SKIP = 99 };

typedef struct MuxRecordParser {
    int32_t rd_state;  /* RD_* */
    uint32_t rd_count; /* bytes consumed of the current field or data */
    int32_t rd_id;     /* connection number being collected */
    int32_t rd_type;   /* the signed type byte */
    uint32_t rd_len;   /* data length of the current REC_DATA */
} MuxRecordParser;

/* What the parser found; `arg` is the caller's. */
typedef struct MuxRecordSink {
    /* A piece of REC_DATA for connection `id`: chunk[offset .. offset+len).
     * Pieces arrive as the bytes do; a record with L = 0 gives one empty
     * piece when the byte after its header arrives. */
    void (*data)(void *arg, int32_t id, const char *chunk, uint32_t offset, uint32_t len);
    /* REC_CLOSE for connection `id`. */
    void (*close)(void *arg, int32_t id);
    /* REC_BYE, or a type that is not 1, 2, 3 or 5 (`type` signed). */
    void (*bye)(void *arg);
    void (*invalid)(void *arg, int32_t type);
} MuxRecordSink;

/* Fresh parser: RD_TYPE, number -1. */
void mux_record_parser_init(MuxRecordParser *p);

/* Parses one chunk. Returns 0 when the chunk was used up and the stream goes
 * on, 1 when a good-bye or invalid record ended it (the rest of the chunk is
 * not looked at). */
int mux_record_parse(MuxRecordParser *p, const char *chunk, uint32_t len, const MuxRecordSink *sink, void *arg);

/* Builders: each returns the record's size. */
uint32_t mux_record_open(unsigned char *buf, int32_t id, const unsigned char addr[4]);
uint32_t mux_record_close(unsigned char *buf, int32_t id);
/* Fills bytes 0-8 in front of n data bytes already at buf + 9. */
uint32_t mux_record_data_header(unsigned char *buf, int32_t id, uint32_t n);
/* Size of the record that begins at rec, as its header gives it, for `room`
 * bytes from rec on: `room` itself for a record cut short or of an unknown
 * type (a caller clamps a data record's size to room). */
uint32_t mux_record_size(const unsigned char *rec, uint32_t room);

#ifdef __cplusplus
}
#endif

#endif

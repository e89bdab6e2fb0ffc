/* The record codec of the server link (mux_records.h): the big-endian
 * field helpers, the builders, the size of a built record and the parser's
 * state machine. */
#include "relay/mux_records.h"

#include <string.h>

#include "metrics/mux_counters.h"

namespace {

void _put32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t _get32(const unsigned char *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

void mux_record_parser_init(MuxRecordParser *p) {
    p->rd_state = RD_TYPE;
    p->rd_count = 0;
    p->rd_id = -1;
    p->rd_type = 0;
    p->rd_len = 0;
}

namespace {
/* Records begun in one parse, counted once when it returns. */
struct RecordTally {
    int64_t n = 0;
    ~RecordTally() {
        if (n) mux_count(MUX_SERVER_RECEIVED_RECORDS, n);
    }
};
}  // namespace

int mux_record_parse(MuxRecordParser *p, const char *chunk, uint32_t len, const MuxRecordSink *sink, void *arg) {
    RecordTally tally;
    uint32_t pos = 0;
    while (pos < len) {
        unsigned char b = static_cast<unsigned char>(chunk[pos]);
        /* A whole data header in the chunk is taken in one step; the state
         * afterwards is the one the byte-wise path below would reach. */
        if (p->rd_state == RD_TYPE && b == REC_DATA && len - pos >= MUX_REC_HEADER) {
            const unsigned char *h = reinterpret_cast<const unsigned char *>(chunk) + pos;
            p->rd_type = REC_DATA;
            p->rd_id = static_cast<int32_t>(_get32(h + 1));
            p->rd_len = _get32(h + 5);
            p->rd_count = 0;
            p->rd_state = RD_DATA;
            pos += MUX_REC_HEADER;
            tally.n++;
            continue;
        }
        switch (p->rd_state) {
        case RD_TYPE:
            tally.n++;
            p->rd_type = static_cast<signed char>(b);  // NOLINT(bugprone-signed-char-misuse): signed on the wire
            p->rd_count = 0;
            p->rd_id = 0;
            p->rd_state = RD_ID;
            pos++;
            break;
        case RD_ID:
            p->rd_id = static_cast<int32_t>((static_cast<uint32_t>(p->rd_id) << 8) | b);
            pos++;
            if (++p->rd_count < 4) break;
            p->rd_count = 0;
            switch (p->rd_type) {
            case REC_OPEN: p->rd_state = RD_SKIP; break;
            case REC_CLOSE:
                p->rd_state = RD_TYPE;
                sink->close(arg, p->rd_id);
                break;
            case REC_DATA:
                p->rd_len = 0;
                p->rd_state = RD_LEN;
                break;
            case REC_BYE:
                p->rd_state = RD_TYPE;
                sink->bye(arg);
                return 1;
            default:
                p->rd_state = RD_TYPE;
                sink->invalid(arg, p->rd_type);
                return 1;
            }
            break;
        case RD_LEN:
            p->rd_len = (p->rd_len << 8) | b;
            pos++;
            if (++p->rd_count < 4) break;
            p->rd_count = 0;
            p->rd_state = RD_DATA;
            break;
        case RD_DATA: {
            /* Pieces go on as they arrive; a zero-length record completes here
             * without consuming the byte, which starts the next record. */
            uint32_t n = len - pos;
            if (n > p->rd_len - p->rd_count) n = p->rd_len - p->rd_count;
            sink->data(arg, p->rd_id, chunk, pos, n);
            p->rd_count += n;
            pos += n;
            if (p->rd_count == p->rd_len) {
                p->rd_count = 0;
                p->rd_state = RD_TYPE;
            }
            break;
        }
        case RD_SKIP:
        default:
            pos++;
            if (++p->rd_count < 4) break;
            p->rd_count = 0;
            p->rd_state = RD_TYPE;
            break;
        }
    }
    return 0;
}

uint32_t mux_record_open(unsigned char *buf, int32_t id, const unsigned char addr[4]) {
    buf[0] = REC_OPEN;
    _put32(buf + 1, static_cast<uint32_t>(id));
    memcpy(buf + 5, addr, 4);
    return MUX_REC_OPEN_SIZE;
}

uint32_t mux_record_close(unsigned char *buf, int32_t id) {
    buf[0] = REC_CLOSE;
    _put32(buf + 1, static_cast<uint32_t>(id));
    return MUX_REC_CLOSE_SIZE;
}

uint32_t mux_record_data_header(unsigned char *buf, int32_t id, uint32_t n) {
    buf[0] = REC_DATA;
    _put32(buf + 1, static_cast<uint32_t>(id));
    _put32(buf + 5, n);
    return MUX_REC_HEADER + n;
}

uint32_t mux_record_size(const unsigned char *rec, uint32_t room) {
    if (room < MUX_REC_CLOSE_SIZE) return room;
    switch (rec[0]) {
    case REC_OPEN: return MUX_REC_OPEN_SIZE;
    case REC_CLOSE: return MUX_REC_CLOSE_SIZE;
    case REC_DATA:
        if (room < MUX_REC_HEADER) return room;
        return MUX_REC_HEADER + _get32(rec + 5);
    default: return room;
    }
}

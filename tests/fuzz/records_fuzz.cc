// The server link's record parser, fed the server's stream in reads cut
// where the input says (its first byte gives how many cut-size bytes
// follow; the rest is the stream). Every read is copied into memory of its
// own size. A simple byte-wise reading of the stream gives the records it
// holds; the parser, uncut and cut, must give exactly those: every piece
// inside its read and its record, pieces joining to the record's data,
// numbers and types as the stream holds them, the end of the stream where
// a good-bye or invalid type ends it, and the same state after the last read.
#include "fuzz.h"
#include "relay/mux_records.h"

namespace {

struct Rec {
    char kind;  // 'c' close, 'd' data, 'b' good-bye, 'i' invalid type
    int32_t v;  // number, or the signed type
    uint64_t len = 0;
    std::string data;  // the data bytes the stream holds (maybe fewer than len)
};

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

std::vector<Rec> reference(const uint8_t *s, size_t n) {
    std::vector<Rec> out;
    for (size_t i = 0; i + 5 <= n;) {
        int32_t type = int8_t(s[i]), id = int32_t(be32(s + i + 1));
        if (type == REC_OPEN) {
            i += 9;
            continue;
        }
        if (type == REC_CLOSE) {
            out.push_back({'c', id, 0, {}});
            i += 5;
            continue;
        }
        if (type != REC_DATA) {
            out.push_back({type == REC_BYE ? 'b' : 'i', type == REC_BYE ? 0 : type, 0, {}});
            break;
        }
        if (i + 9 > n) break;
        uint64_t len = be32(s + i + 5), have = std::min<uint64_t>(len, n - i - 9);
        // A piece is passed on once a data byte (or, for an empty record, the next byte) is there.
        if (have > 0 || (len == 0 && n > i + 9)) out.push_back({'d', id, len, std::string((const char *)s + i + 9, have)});
        i += 9 + len;
    }
    return out;
}

struct Run {
    const std::vector<Rec> &want;
    size_t at = 0, got = 0;       // next expected record, bytes of it received so far
    const char *chunk = nullptr;  // the read being parsed
    uint32_t len = 0;
    bool ended = false;                // a good-bye or invalid type was reported
    void take(char kind, int32_t v) {  // a close, good-bye or invalid type
        FUZZ_CHECK(got == 0 && at < want.size() && want[at].kind == kind && want[at].v == v);
        at++, ended = kind != 'c';
    }
};

void on_data(void *a, int32_t id, const char *chunk, uint32_t off, uint32_t len) {
    Run &r = *static_cast<Run *>(a);
    FUZZ_CHECK(chunk == r.chunk && uint64_t(off) + len <= r.len && r.at < r.want.size());
    const Rec &w = r.want[r.at];
    FUZZ_CHECK(w.kind == 'd' && w.v == id && r.got + len <= w.data.size() && (len > 0 || w.len == 0));
    FUZZ_CHECK(!memcmp(chunk + off, w.data.data() + r.got, len));
    if ((r.got += len) == w.len) r.at++, r.got = 0;
}
void on_close(void *a, int32_t id) { static_cast<Run *>(a)->take('c', id); }
void on_bye(void *a) { static_cast<Run *>(a)->take('b', 0); }
void on_invalid(void *a, int32_t type) { static_cast<Run *>(a)->take('i', type); }
const MuxRecordSink kSink = {on_data, on_close, on_bye, on_invalid};

// Parses s in reads of the given sizes (cycled; none: one read of it all).
MuxRecordParser parse(const std::vector<Rec> &want, const uint8_t *s, size_t n, const std::vector<uint32_t> &cuts) {
    MuxRecordParser p;
    mux_record_parser_init(&p);
    Run r{want};
    for (size_t pos = 0, k = 0; pos < n; k++) {
        uint32_t len = uint32_t(cuts.empty() ? n - pos : std::min<size_t>(cuts[k % cuts.size()], n - pos));
        std::vector<char> read(s + pos, s + pos + len);
        r.chunk = read.data(), r.len = len;
        int rc = mux_record_parse(&p, read.data(), len, &kSink, &r);
        FUZZ_CHECK(rc == (r.ended ? 1 : 0));
        if (rc) break;
        pos += len;
    }
    const Rec *last = want.empty() ? nullptr : &want.back();
    FUZZ_CHECK(r.at == want.size() || (r.at + 1 == want.size() && r.got == last->data.size() && r.got < last->len));
    return p;
}

}  // namespace

FUZZ_TARGET {
    size_t ncuts = size ? data[0] % 16 : 0;
    if (size < 1 + ncuts) return 0;
    std::vector<uint32_t> cuts;
    // Short reads mostly, and now and then one of up to the server's read size.
    for (size_t i = 0; i < ncuts; i++)
        cuts.push_back(data[1 + i] < 192 ? data[1 + i] + 1u : std::min<uint32_t>((data[1 + i] - 191u) * 1040u, MUX_SERVER_READ));
    const uint8_t *s = data + 1 + ncuts;
    size_t n = size - 1 - ncuts;
    std::vector<Rec> want = reference(s, n);
    MuxRecordParser whole = parse(want, s, n, {}), cut = parse(want, s, n, cuts);
    FUZZ_CHECK(memcmp(&whole, &cut, sizeof whole) == 0);
    return 0;
}

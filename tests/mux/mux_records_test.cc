// The link's record format: the builders, and the parser of the server's
// stream, which must give the same events (and the same state between
// reads) however the stream is cut into reads: whole headers in one read
// take a shorter path than headers cut apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration_harness.h"
#include "relay/mux_records.h"

namespace {

using itest::be32;
using itest::rec_close;
using itest::rec_data;
using Events = std::vector<std::string>;

// The parser's events as text. Consecutive pieces of one connection's data
// are joined: how a record is cut into pieces depends on the reads.
struct Recorder {
    Events events;
    int64_t data_id = INT64_MIN;  // the connection of the last event, when it was data
    void add(const std::string &e, int64_t id = INT64_MIN) {
        events.push_back(e);
        data_id = id;
    }
    static void data(void *a, int32_t id, const char *chunk, uint32_t off, uint32_t len) {
        auto *r = static_cast<Recorder *>(a);
        if (r->data_id != id) r->add("data " + std::to_string(id) + ": ", id);
        r->events.back().append(chunk + off, len);
    }
    static void close(void *a, int32_t id) { static_cast<Recorder *>(a)->add("close " + std::to_string(id)); }
    static void bye(void *a) { static_cast<Recorder *>(a)->add("bye"); }
    static void invalid(void *a, int32_t type) { static_cast<Recorder *>(a)->add("invalid " + std::to_string(type)); }
};

const MuxRecordSink kSink = {Recorder::data, Recorder::close, Recorder::bye, Recorder::invalid};

// Parses `s` in reads of 1 to max_piece bytes (sizes drawn from `seed`; a
// fixed size when max_piece is negative), up to the read that ends the
// stream. Returns the events; *end is the parser afterwards, *ended the
// result of the last read.
Events parse_in_pieces(const std::string &s, uint32_t seed, int64_t max_piece, MuxRecordParser *end = nullptr, int *ended = nullptr) {
    Recorder r;
    MuxRecordParser p;
    mux_record_parser_init(&p);
    int rc = 0;
    for (size_t pos = 0, n; pos < s.size() && rc == 0; pos += n) {
        seed = seed * 1103515245u + 12345u;
        n = std::min(s.size() - pos, size_t(max_piece < 0 ? -max_piece : 1 + (seed >> 8) % max_piece));
        rc = mux_record_parse(&p, s.data() + pos, uint32_t(n), &kSink, &r);
    }
    if (end) *end = p;
    if (ended) *ended = rc;
    return r.events;
}

TEST(RecordParser, SameEventsWhateverTheReadSizesUpToTheEndOfTheStream) {
    // An open record from the server is skipped; a zero-length record gives
    // one empty piece; numbers are signed and big-endian.
    std::string stream = rec_data(7, "hello") + itest::rec_open(3, 127, 0, 0, 1) + rec_close(0x01020304) + rec_close(-1) +
                         rec_data(12, std::string(5000, 'x')) + rec_data(4, "") + rec_close(4) + rec_data(1, "z");
    Events want = {"data 7: hello", "close 16909060", "close -1", "data 12: " + std::string(5000, 'x'), "data 4: ", "close 4", "data 1: z"};
    for (int64_t step : {1, 2, 3, 8, 9, 4096, int(stream.size())}) {
        MuxRecordParser p;
        int ended = -1;
        EXPECT_EQ(parse_in_pieces(stream, 0, -step, &p, &ended), want) << "reads of " << step;
        EXPECT_EQ(std::pair(ended, p.rd_state), std::pair(0, int32_t(RD_TYPE)));
    }
    // Good-bye and every type that is not 1, 2, 3 or 5 end the stream once
    // their 4-byte field is in; nothing after them is parsed.
    for (unsigned char t : {0x05, 0x00, 0x04, 0x06, 0x80, 0xff}) {
        std::string s = char(t) + be32(1), last = t == 5 ? "bye" : "invalid " + std::to_string(int(int8_t(t)));
        int ended = -1;
        EXPECT_TRUE(parse_in_pieces(s.substr(0, 4), 0, -1, nullptr, &ended).empty()) << int(t);
        EXPECT_EQ(ended, 0) << "the field is not complete yet";
        EXPECT_EQ(parse_in_pieces(rec_data(1, "a") + s + rec_close(3), 0, -100, nullptr, &ended), (Events{"data 1: a", last}));
        EXPECT_EQ(ended, 1);
    }
}

// A stream of random records of every kind the server may send, ending in a
// good-bye; zero-length data records included.
std::string random_stream(uint32_t seed, int records) {
    std::string s;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int i = 0; i < records; i++) {
        int32_t id = int32_t(next() % 40), kind = int32_t(next() % 6);
        std::string d(kind < 2 || next() % 5 == 0 ? 0 : next() % 9000, 0);
        for (size_t k = 0; k < d.size(); k++) d[k] = char('a' + (k + size_t(id)) % 26);
        s += kind == 0 ? itest::rec_open(id, 127, 0, 0, 1) : kind == 1 ? rec_close(id) : rec_data(id, d);
    }
    return s + itest::rec_bye() + "\x03trailing bytes that are not parsed";
}

TEST(RecordParser, EveryCutGivesTheEventsOfByteWiseParsing) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
        std::string s = random_stream(seed, 200);
        MuxRecordParser ref_state, state;
        Events ref = parse_in_pieces(s, seed, 1, &ref_state);
        ASSERT_EQ(ref.back(), "bye");
        for (uint32_t max_piece : {2u, 9u, 10u, 17u, 4096u, 65536u, 1u << 20}) {
            ASSERT_EQ(parse_in_pieces(s, seed * 7 + max_piece, max_piece, &state), ref)
                << "seed " << seed << ", reads of up to " << max_piece << " bytes";
            EXPECT_EQ(state.rd_state, ref_state.rd_state);
        }
    }
}

TEST(RecordBuilders, ExactBytes) {
    unsigned char buf[MUX_REC_MAX];
    const unsigned char addr[4] = {127, 0, 0, 2};
    auto bytes = [&](uint32_t n) { return std::string((char *)buf, n); };
    EXPECT_EQ(bytes(mux_record_open(buf, 0x0102, addr)), std::string("\x01\x00\x00\x01\x02\x7f\x00\x00\x02", 9));
    EXPECT_EQ(bytes(mux_record_close(buf, 258)), std::string("\x02\x00\x00\x01\x02", 5));
    EXPECT_EQ(bytes(mux_record_close(buf, 0x01020304)), std::string("\x02\x01\x02\x03\x04", 5));
    ASSERT_EQ(mux_record_data_header(buf, 3, MUX_REC_MAX_DATA), 4096u);
    EXPECT_EQ(bytes(9), std::string("\x03\x00\x00\x00\x03\x00\x00\x0f\xf7", 9));
    ASSERT_EQ(mux_record_data_header(buf, 3, 1), 10u);
}

}  // namespace

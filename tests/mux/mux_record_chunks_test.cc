// The link parser gives the same events, in the same order and with the same
// parser state between reads, however the server's stream is cut into reads:
// whole headers in one read take a shorter path than headers cut apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "relay/mux_records.h"

namespace {

struct Recorder {
    std::vector<std::string> events;
    // Consecutive data pieces of one record are joined: how a record is
    // cut into pieces depends on the reads and is not an event of its own.
    int32_t last_data_id = 0;
    bool in_data = false;
    static void data(void *a, int32_t id, const char *chunk, uint32_t off, uint32_t len) {
        auto *r = static_cast<Recorder *>(a);
        std::string piece(chunk + off, len);
        if (r->in_data && r->last_data_id == id && !r->events.empty()) {
            r->events.back() += piece;
        } else {
            r->events.push_back("data " + std::to_string(id) + ": " + piece);
        }
        r->in_data = true;
        r->last_data_id = id;
    }
    static void close(void *a, int32_t id) {
        auto *r = static_cast<Recorder *>(a);
        r->in_data = false;
        r->events.push_back("close " + std::to_string(id));
    }
    static void bye(void *a) {
        auto *r = static_cast<Recorder *>(a);
        r->in_data = false;
        r->events.push_back("bye");
    }
    static void invalid(void *a, int32_t type) {
        auto *r = static_cast<Recorder *>(a);
        r->in_data = false;
        r->events.push_back("invalid " + std::to_string(type));
    }
};

const MuxRecordSink kSink = {Recorder::data, Recorder::close, Recorder::bye, Recorder::invalid};

std::string be32(uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

// A stream of random records of every kind the server may send, ending in a
// good-bye; zero-length data records included.
std::string random_stream(uint32_t seed, int records) {
    std::string s;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int i = 0; i < records; i++) {
        uint32_t id = next() % 40;
        switch (next() % 6) {
        case 0:
            s += "\x01" + be32(id) + std::string("\x7f\x00\x00\x01", 4);
            break;
        case 1:
            s += "\x02" + be32(id);
            break;
        default: {
            uint32_t len = next() % 5 == 0 ? 0 : next() % 9000;
            std::string d(len, 0);
            for (uint32_t k = 0; k < len; k++) d[k] = char('a' + (k + id) % 26);
            s += "\x03" + be32(id) + be32(len) + d;
        }
        }
    }
    return s + "\x05" + be32(0) + "\x03trailing bytes that are not parsed";
}

std::vector<std::string> parse_in_pieces(const std::string &s, uint32_t seed, uint32_t max_piece,
                                         MuxRecordParser *end_state) {
    Recorder r;
    MuxRecordParser p;
    mux_record_parser_init(&p);
    size_t pos = 0;
    while (pos < s.size()) {
        seed = seed * 1103515245u + 12345u;
        size_t n = 1 + (seed >> 8) % max_piece;
        if (n > s.size() - pos) n = s.size() - pos;
        int ended = mux_record_parse(&p, s.data() + pos, uint32_t(n), &kSink, &r);
        pos += n;
        if (ended) break;
    }
    *end_state = p;
    return r.events;
}

TEST(RecordChunks, EveryCutGivesTheEventsOfByteWiseParsing) {
    for (uint32_t seed = 1; seed <= 20; seed++) {
        std::string s = random_stream(seed, 200);
        MuxRecordParser ref_state, state;
        std::vector<std::string> ref = parse_in_pieces(s, seed, 1, &ref_state);
        ASSERT_EQ(ref.back(), "bye");
        for (uint32_t max_piece : {2u, 9u, 10u, 17u, 4096u, 65536u, 1u << 20}) {
            std::vector<std::string> got = parse_in_pieces(s, seed * 7 + max_piece, max_piece, &state);
            ASSERT_EQ(got, ref) << "seed " << seed << ", reads of up to " << max_piece << " bytes";
            EXPECT_EQ(state.rd_state, ref_state.rd_state);
        }
    }
}

// The parser state after a read that ends inside a record is the one the
// next read continues from, whichever path took the header.
TEST(RecordChunks, StateBetweenReadsMatchesTheByteWisePath) {
    std::string rec = "\x03" + be32(7) + be32(5) + "hello";
    for (size_t cut = 1; cut < rec.size(); cut++) {
        Recorder whole, bytes;
        MuxRecordParser a, b;
        mux_record_parser_init(&a);
        mux_record_parser_init(&b);
        mux_record_parse(&a, rec.data(), uint32_t(cut), &kSink, &whole);
        for (size_t i = 0; i < cut; i++) mux_record_parse(&b, rec.data() + i, 1, &kSink, &bytes);
        EXPECT_EQ(a.rd_state, b.rd_state) << "cut at " << cut;
        EXPECT_EQ(a.rd_count, b.rd_count) << "cut at " << cut;
        EXPECT_EQ(a.rd_id, b.rd_id) << "cut at " << cut;
        EXPECT_EQ(a.rd_len, b.rd_len) << "cut at " << cut;
        EXPECT_EQ(a.rd_type, b.rd_type) << "cut at " << cut;
    }
}

}  // namespace

// The link's record format: builders and the parser of the server's stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relay/mux_records.h"

namespace {

struct Event {
    std::string kind;  // data, close, bye, invalid
    int32_t id;
    std::string bytes;
    bool operator==(const Event &o) const { return kind == o.kind && id == o.id && bytes == o.bytes; }
};

std::ostream &operator<<(std::ostream &os, const Event &e) {
    return os << e.kind << "(" << e.id << ", " << e.bytes.size() << " bytes \"" << e.bytes << "\")";
}

struct Recorder {
    std::vector<Event> events;
    static void data(void *a, int32_t id, const char *chunk, uint32_t off, uint32_t len) {
        static_cast<Recorder *>(a)->events.push_back({"data", id, std::string(chunk + off, len)});
    }
    static void close(void *a, int32_t id) { static_cast<Recorder *>(a)->events.push_back({"close", id, ""}); }
    static void bye(void *a) { static_cast<Recorder *>(a)->events.push_back({"bye", 0, ""}); }
    static void invalid(void *a, int32_t type) { static_cast<Recorder *>(a)->events.push_back({"invalid", type, ""}); }
};

const MuxRecordSink kSink = {Recorder::data, Recorder::close, Recorder::bye, Recorder::invalid};

std::string be32(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}
std::string data_rec(int32_t id, const std::string &d) { return "\x03" + be32(uint32_t(id)) + be32(uint32_t(d.size())) + d; }
std::string close_rec(int32_t id) { return "\x02" + be32(uint32_t(id)); }
std::string open_rec(int32_t id) { return "\x01" + be32(uint32_t(id)) + std::string("\x7f\x00\x00\x01", 4); }

class ParserTest : public ::testing::Test {
  protected:
    void SetUp() override { mux_record_parser_init(&p); }
    // Feeds the stream in pieces of `step` bytes; returns the parse result of
    // the last piece that was fed.
    int feed(const std::string &s, size_t step) {
        int rc = 0;
        for (size_t off = 0; off < s.size() && rc == 0; off += step) {
            size_t n = std::min(step, s.size() - off);
            rc = mux_record_parse(&p, s.data() + off, uint32_t(n), &kSink, &rec);
        }
        return rc;
    }
    // Joins consecutive data pieces of one number, so tests can compare
    // records however the stream was cut.
    std::vector<Event> merged() const {
        std::vector<Event> out;
        for (const Event &e : rec.events) {
            if (e.kind == "data" && e.bytes.empty()) continue;
            if (e.kind == "data" && !out.empty() && out.back().kind == "data" && out.back().id == e.id)
                out.back().bytes += e.bytes;
            else
                out.push_back(e);
        }
        return out;
    }
    MuxRecordParser p;
    Recorder rec;
};

TEST_F(ParserTest, StartsWaitingForATypeWithNoNumber) {
    EXPECT_EQ(p.rd_state, RD_TYPE);
    EXPECT_EQ(p.rd_id, -1);
}

TEST_F(ParserTest, SameEventsWhateverTheReadSizes) {
    std::string stream = data_rec(7, "hello") + open_rec(3) + close_rec(9) + data_rec(12, std::string(5000, 'x')) +
                         data_rec(1, "") + data_rec(1, "z");
    std::vector<Event> want = {{"data", 7, "hello"}, {"close", 9, ""}, {"data", 12, std::string(5000, 'x')},
                               {"data", 1, "z"}};
    for (size_t step : {size_t(1), size_t(2), size_t(3), size_t(8), size_t(9), size_t(4096), stream.size()}) {
        SCOPED_TRACE("read size " + std::to_string(step));
        mux_record_parser_init(&p);
        rec.events.clear();
        EXPECT_EQ(feed(stream, step), 0);
        EXPECT_EQ(merged(), want);
        EXPECT_EQ(p.rd_state, RD_TYPE);
    }
}

TEST_F(ParserTest, DataArrivesPieceByPieceAsItComes) {
    std::string r = data_rec(5, "abcdef");
    ASSERT_EQ(feed(r.substr(0, 11), 11), 0);  // header + "ab"
    ASSERT_EQ(rec.events.size(), 1u);
    EXPECT_EQ(rec.events[0], (Event{"data", 5, "ab"}));
    ASSERT_EQ(feed(r.substr(11), 100), 0);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[1], (Event{"data", 5, "cdef"}));
}

TEST_F(ParserTest, ZeroLengthRecordCompletesOnTheNextByteWithoutEatingIt) {
    ASSERT_EQ(feed(data_rec(4, ""), 100), 0);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(p.rd_state, RD_DATA);
    ASSERT_EQ(feed(close_rec(4), 100), 0);
    ASSERT_EQ(rec.events.size(), 2u);
    EXPECT_EQ(rec.events[0], (Event{"data", 4, ""}));
    EXPECT_EQ(rec.events[1], (Event{"close", 4, ""}));
}

TEST_F(ParserTest, ServerOpenIsSkippedWithoutDisturbingTheNextRecord) {
    ASSERT_EQ(feed(open_rec(77) + data_rec(2, "ok"), 1), 0);
    EXPECT_EQ(merged(), (std::vector<Event>{{"data", 2, "ok"}}));
}

TEST_F(ParserTest, NumbersAreSignedBigEndian) {
    ASSERT_EQ(feed(close_rec(0x01020304) + close_rec(-1) + close_rec(0), 3), 0);
    EXPECT_EQ(merged(), (std::vector<Event>{{"close", 0x01020304, ""}, {"close", -1, ""}, {"close", 0, ""}}));
}

TEST_F(ParserTest, ByeEndsTheStreamOnceItsFieldIsIn) {
    std::string s = data_rec(1, "a") + std::string("\x05\x00\x00\x00", 4);
    EXPECT_EQ(feed(s, s.size()), 0);  // the field is not complete yet
    EXPECT_EQ(mux_record_parse(&p, "\x09" "\x03garbage", 8, &kSink, &rec), 1);
    EXPECT_EQ(merged(), (std::vector<Event>{{"data", 1, "a"}, {"bye", 0, ""}}));
}

TEST_F(ParserTest, InvalidTypesEndTheStreamWithTheSignedType) {
    for (unsigned char t : {0x00, 0x04, 0x06, 0x80, 0xff}) {
        SCOPED_TRACE(int(t));
        mux_record_parser_init(&p);
        rec.events.clear();
        std::string s = std::string(1, char(t)) + be32(1) + close_rec(3);
        EXPECT_EQ(feed(s, s.size()), 1);
        ASSERT_EQ(rec.events.size(), 1u) << "nothing after the invalid record is parsed";
        EXPECT_EQ(rec.events[0].kind, "invalid");
        EXPECT_EQ(rec.events[0].id, int32_t(static_cast<signed char>(t)));
    }
}

TEST_F(ParserTest, InvalidTypeWaitsForItsFourBytes) {
    EXPECT_EQ(feed(std::string("\x06\x00\x00\x00", 4), 1), 0);
    EXPECT_TRUE(rec.events.empty());
    EXPECT_EQ(mux_record_parse(&p, "\x00", 1, &kSink, &rec), 1);
}

TEST(RecordBuilders, ExactBytes) {
    unsigned char buf[MUX_REC_MAX];
    const unsigned char addr[4] = {127, 0, 0, 2};
    ASSERT_EQ(mux_record_open(buf, 0x0102, addr), 9u);
    EXPECT_EQ(std::string((char *)buf, 9), std::string("\x01\x00\x00\x01\x02\x7f\x00\x00\x02", 9));
    ASSERT_EQ(mux_record_close(buf, 258), 5u);
    EXPECT_EQ(std::string((char *)buf, 5), std::string("\x02\x00\x00\x01\x02", 5));
    ASSERT_EQ(mux_record_close(buf, 0x01020304), 5u);
    EXPECT_EQ(std::string((char *)buf, 5), std::string("\x02\x01\x02\x03\x04", 5));
    memset(buf + 9, 'q', MUX_REC_MAX_DATA);
    ASSERT_EQ(mux_record_data_header(buf, 3, MUX_REC_MAX_DATA), 4096u);
    EXPECT_EQ(std::string((char *)buf, 9), std::string("\x03\x00\x00\x00\x03\x00\x00\x0f\xf7", 9));
    ASSERT_EQ(mux_record_data_header(buf, 3, 1), 10u);
    EXPECT_EQ(MUX_REC_MAX_DATA, 4087);
}

}  // namespace

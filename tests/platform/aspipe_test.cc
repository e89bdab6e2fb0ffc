// Byte pipes: order and contiguity across writers, joined chunks, chunk
// lifetime, cancel and delete of the reader; and the paths without a round
// through the dispatcher: the reader taking the next chunk at once
// (ASPipe_Next) and writers handing bytes straight to an idle reader's
// destination (ASPipe_WriteThrough), which must never reorder or lose bytes.
#include <gtest/gtest.h>
#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;
using plattest::RunningCx;

namespace {

// The reader of a pipe and its destination. Each callback appends the chunk
// to `got`; kRearm arms the next read, kDrain first takes every queued
// chunk with ASPipe_Next. As a destination for ASPipe_WriteThrough it takes
// at most `room` bytes per offer (all when negative).
struct Reader {
  enum Mode { kOnce, kRearm, kDrain };
  Reader(ASPipe *p, GDispCx *cx, Mode mode) : pipe(p) {
    c.gd = GDisp_New(cx);
    c.then = [this, mode](Completion &) {
      Add(buf, len);
      while (mode == kDrain && ASPipe_Next(pipe, &buf, &len) == 1) Add(buf, len);
      if (mode != kOnce) Arm();
    };
  }
  ~Reader() { GDisp_Delete(c.gd); }
  int Arm() { return ASPipe_Read(pipe, &buf, &len, c.gd, Completion::Cb, &c); }
  void Add(const char *p, size_t n) {
    std::lock_guard<std::mutex> g(mu);
    got.append(p, n);
  }
  std::string Got() {
    std::lock_guard<std::mutex> g(mu);
    return got;
  }
  static int Send(void *arg, const struct iovec *iov, int cnt) {
    auto *r = static_cast<Reader *>(arg);
    r->offers++;
    size_t left = r->room < 0 ? SIZE_MAX : size_t(r->room.load()), took = 0;
    for (int i = 0; i < cnt && left > 0; i++) {
      size_t n = std::min(iov[i].iov_len, left);
      r->Add(static_cast<const char *>(iov[i].iov_base), n);
      took += n;
      left -= n;
    }
    return int(took);
  }
  int Through(const char *data, uint32_t n) {
    struct iovec one = {const_cast<char *>(data), n};
    return ASPipe_WriteThrough(pipe, &one, 1, Send, this);
  }
  ASPipe *pipe;
  char *buf = nullptr;
  uint32_t len = 0;
  std::atomic<int> offers{0}, room{-1};
  std::mutex mu;
  std::string got;
  Completion c;
};

// Each record: 4-byte writer id, 4-byte sequence, then `pad` bytes equal to
// the writer id. Contiguity and per-writer order are checked by parsing.
std::string Record(uint32_t writer, uint32_t seq, size_t pad) {
  std::string s(8 + pad, char('a' + writer));
  std::memcpy(&s[0], &writer, 4);
  std::memcpy(&s[4], &seq, 4);
  return s;
}

TEST(ASPipeTest, ConcurrentWritersKeepEachWriteWholeAndInOrder) {
  RunningCx r(4);
  ASPipe *pipe = ASPipe_New(4096);
  Reader rd(pipe, r.cx(), Reader::kRearm);
  ASSERT_EQ(rd.Arm(), 0);
  constexpr uint32_t kWriters = 4, kPerWriter = 3000;
  size_t expect = 0;
  std::vector<std::thread> th;
  for (uint32_t w = 0; w < kWriters; w++) {
    for (uint32_t i = 0; i < kPerWriter; i++) expect += 8 + (i * 7 + w) % 300;
    th.emplace_back([pipe, w] {
      for (uint32_t i = 0; i < kPerWriter; i++) {
        std::string rec = Record(w, i, (i * 7 + w) % 300);
        ASSERT_EQ(ASPipe_Write(pipe, rec.data(), uint32_t(rec.size())), 0);
      }
    });
  }
  for (auto &t : th) t.join();
  ASSERT_TRUE(ts::wait_for([&] { return rd.Got().size() == expect; }, 10000)) << rd.Got().size();
  r.Stop();
  std::map<uint32_t, uint32_t> next;
  for (size_t off = 0; off < rd.got.size();) {
    uint32_t w, seq;
    std::memcpy(&w, &rd.got[off], 4);
    std::memcpy(&seq, &rd.got[off + 4], 4);
    ASSERT_LT(w, kWriters);
    ASSERT_EQ(seq, next[w]++) << "writer " << w << " out of order at " << off;
    size_t pad = (seq * 7 + w) % 300;
    ASSERT_EQ(rd.got.substr(off + 8, pad), std::string(pad, char('a' + w))) << "torn write at " << off;
    off += 8 + pad;
  }
  for (uint32_t w = 0; w < kWriters; w++) EXPECT_EQ(next[w], kPerWriter);
  ASPipe_Delete(pipe);
}

TEST(ASPipeTest, ChunkJoinsWritesQueuedBeforeTheReadAndStaysValidWhileMoreArrive) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(4096);
  Reader o(pipe, r.cx(), Reader::kOnce);
  for (int i = 0; i < 100; i++) ASPipe_Write(pipe, "0123456789", 10);
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(1));
  EXPECT_EQ(o.len, 1000u) << "100 small writes come out as one chunk";
  ASPipe_Write(pipe, "abc", 3);
  EXPECT_EQ(std::string(o.buf + 990, 10), "0123456789");
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(2));
  std::string want;
  for (int i = 0; i < 100; i++) want += "0123456789";
  EXPECT_EQ(o.Got(), want + "abc");
  ASPipe_Delete(pipe);
}

TEST(ASPipeTest, WriteLargerThanABlockStaysContiguous) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(64);
  Reader o(pipe, r.cx(), Reader::kOnce);
  std::string big = ts::pattern(10000);
  ASPipe_Write(pipe, "head", 4);
  ASPipe_Write(pipe, big.data(), uint32_t(big.size()));
  for (int i = 1; i <= 2; i++) {
    ASSERT_EQ(o.Arm(), 0);
    ASSERT_TRUE(o.c.Wait(i));
  }
  EXPECT_EQ(o.len, 10000u);
  EXPECT_EQ(o.Got(), "head" + big);
  ASPipe_Delete(pipe);
}

TEST(ASPipeTest, ReaderWaitsForBytesIsOneShotAndAlone) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(128);
  Reader o(pipe, r.cx(), Reader::kOnce);
  ASSERT_EQ(o.Arm(), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(o.c.n.load(), 0) << "empty pipe: no callback";
  EXPECT_EQ(o.Arm(), -1) << "one reader at a time";
  ASPipe_Write(pipe, "x", 1);
  ASSERT_TRUE(o.c.Wait(1));
  ASPipe_Write(pipe, "y", 1);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(o.c.n.load(), 1) << "not re-armed: no second callback";
  EXPECT_EQ(ASPipe_Write(pipe, nullptr, 3), -1);
  EXPECT_EQ(ASPipe_Write(pipe, nullptr, 0), 0);
  ASPipe_Delete(pipe);
}

TEST(ASPipeTest, CancelledReadTakesNoBytes) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(128);
  Reader o(pipe, r.cx(), Reader::kOnce);
  o.Arm();
  GDisp_Cancel(o.c.gd);
  ASPipe_Write(pipe, "kept", 4);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(o.c.n.load(), 0);
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(1));
  EXPECT_EQ(o.Got(), "kept");
  ASPipe_Delete(pipe);
}

TEST(ASPipeTest, DeleteWithQueuedBytesAndAnArmedReaderReleasesAll) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(128);
  Reader o(pipe, r.cx(), Reader::kOnce);
  ASPipe_Write(pipe, "abc", 3);
  o.Arm();
  ASSERT_TRUE(o.c.Wait(1));
  ASPipe_Write(pipe, "def", 3);
  ASPipe_Write(pipe, std::string(500, 'z').data(), 500);
  o.Arm();
  ASPipe_Delete(pipe);  // a delivery may be queued: it must find nothing
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(o.c.n.load(), 2);
}

// ---- without a round through the dispatcher ------------------------------

TEST(ASPipeDirect, NextHandsOutQueuedChunksInOrderAndRefusesWhileAReadIsArmed) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(8);
  Reader o(pipe, r.cx(), Reader::kOnce);
  EXPECT_EQ(ASPipe_Next(pipe, &o.buf, &o.len), 0) << "empty pipe";
  ASSERT_EQ(ASPipe_Write(pipe, "12345678", 8), 0);
  ASSERT_EQ(ASPipe_Write(pipe, "abc", 3), 0);
  EXPECT_EQ(ASPipe_Queued(pipe), 11u);
  ASSERT_EQ(ASPipe_Next(pipe, &o.buf, &o.len), 1);
  EXPECT_EQ(std::string(o.buf, o.len), "12345678");
  EXPECT_EQ(ASPipe_Queued(pipe), 11u) << "a chunk handed out still counts until released";
  ASSERT_EQ(ASPipe_Next(pipe, &o.buf, &o.len), 1) << "the first chunk is released, the next one follows";
  EXPECT_EQ(std::string(o.buf, o.len), "abc");
  EXPECT_EQ(ASPipe_Queued(pipe), 3u);
  EXPECT_EQ(ASPipe_Next(pipe, &o.buf, &o.len), 0);
  EXPECT_EQ(ASPipe_Queued(pipe), 0u);
  EXPECT_EQ(ASPipe_Queued(nullptr), 0u);
  EXPECT_EQ(ASPipe_Next(nullptr, &o.buf, &o.len), -1);
  ASSERT_EQ(o.Arm(), 0);
  EXPECT_EQ(ASPipe_Next(pipe, &o.buf, &o.len), -1) << "a waiting read owns the next chunk";
  ASSERT_EQ(ASPipe_Write(pipe, "z", 1), 0);
  ASSERT_TRUE(o.c.Wait(1));
  EXPECT_EQ(o.Got(), "z");
  ASPipe_Delete(pipe);
}

// Waits until the reader has re-armed after its wakeup number n.
void Idle(Reader &d, int n) {
  ASSERT_TRUE(d.c.Wait(n));
  std::this_thread::sleep_for(20ms);  // the reader re-arms on its group
}

TEST(ASPipeDirect, WriteThroughGoesDirectOnlyToAnIdleReaderOfAnEmptyPipe) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(4096);
  Reader d(pipe, r.cx(), Reader::kDrain);
  EXPECT_EQ(d.Through("queued ", 7), 0) << "no reader: everything is queued";
  EXPECT_EQ(d.offers.load(), 0);
  ASSERT_EQ(d.Arm(), 0);
  Idle(d, 1);
  EXPECT_EQ(d.Through("direct ", 7), 7) << "taken whole";
  EXPECT_EQ(d.offers.load(), 1);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.c.n.load(), 1) << "nobody woken";
  d.room = 3;  // partly taken: the rest is queued and the reader sends it after
  EXPECT_EQ(d.Through("partial ", 8), 3);
  Idle(d, 2);
  EXPECT_EQ(d.Got(), "queued direct partial ");
  // Several pieces partly taken: the rest goes on in order, the piece cut
  // short included.
  d.room = 5;
  struct iovec three[3] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cdef"), 4}, {const_cast<char *>("gh"), 2}};
  EXPECT_EQ(ASPipe_WriteThrough(pipe, three, 3, Reader::Send, &d), 5);
  ASSERT_TRUE(ts::wait_for([&] { return d.Got().size() == 30; }));
  EXPECT_EQ(d.Got(), "queued direct partial abcdefgh");
  struct iovec one = {const_cast<char *>("x"), 1}, none = {nullptr, 1};
  EXPECT_EQ(ASPipe_WriteThrough(pipe, &one, 1, nullptr, nullptr), -1);
  EXPECT_EQ(ASPipe_WriteThrough(pipe, &none, 1, Reader::Send, &d), -1);
  ASPipe_Delete(pipe);
  EXPECT_EQ(ASPipe_WriteThrough(nullptr, &one, 1, Reader::Send, &d), -1);
}

TEST(ASPipeDirect, HandedOverBuffersQueueInOrderWithCopiedWritesOrGoDirect) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(16);
  Reader d(pipe, r.cx(), Reader::kDrain);
  // Filled by the caller; what a call does not take is freed (the sanitizer
  // builds see a leak otherwise).
  auto filled = [](const char *text) { return static_cast<char *>(std::memcpy(ASPipe_AllocBuf(32), text, strlen(text))); };
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, filled("queued "), 7, Reader::Send, &d), 0) << "no reader: queued whole";
  EXPECT_EQ(d.offers.load(), 0);
  ASSERT_EQ(ASPipe_Write(pipe, "one ", 4), 0);
  ASSERT_EQ(ASPipe_WriteBuf(pipe, filled("two three "), 10), 0);
  ASSERT_EQ(ASPipe_Write(pipe, "four ", 5), 0) << "joins the handed-over block, which has room";
  ASSERT_EQ(d.Arm(), 0);
  Idle(d, 1);
  EXPECT_EQ(d.Got(), "queued one two three four ");
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, filled("direct "), 7, Reader::Send, &d), 7) << "taken whole and freed";
  d.room = 2;
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, filled("split"), 5, Reader::Send, &d), 2);
  ASSERT_TRUE(ts::wait_for([&] { return d.Got().size() == 38; }));
  ASSERT_TRUE(ts::wait_for([&] { return ASPipe_Queued(pipe) == 0; })) << "only the 3 queued bytes counted";
  EXPECT_EQ(d.Got(), "queued one two three four direct split");
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, ASPipe_AllocBuf(8), 4, nullptr, nullptr), -1);
  EXPECT_EQ(ASPipe_WriteBuf(pipe, ASPipe_AllocBuf(8), 9), -1) << "longer than the buffer";
  EXPECT_EQ(ASPipe_WriteBuf(nullptr, ASPipe_AllocBuf(8), 4), -1);
  EXPECT_EQ(ASPipe_WriteBuf(pipe, nullptr, 4), -1);
  ASPipe_FreeBuf(ASPipe_AllocBuf(8));
  ASPipe_FreeBuf(nullptr);
  EXPECT_EQ(ASPipe_AllocBuf(0), nullptr);
  ASPipe_Delete(pipe);
}

// Many writers race the reader, each write partly taken: the destination
// still sees each writer's bytes whole and in order, because nothing
// passes queued bytes.
TEST(ASPipeDirect, ConcurrentWriteThroughNeverReordersOrLoses) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(256);
  Reader d(pipe, r.cx(), Reader::kDrain);
  d.room = 5;
  ASSERT_EQ(d.Arm(), 0);
  const int kWriters = 4, kWrites = 2000;
  std::vector<std::thread> th;
  for (int w = 0; w < kWriters; w++)
    th.emplace_back([&, w] {
      for (int i = 0; i < kWrites; i++) {
        char rec[12];
        std::snprintf(rec, sizeof rec, "%c%05d;", 'a' + w, i);
        ASSERT_GE(d.Through(rec, 7), 0);
      }
    });
  for (auto &t : th) t.join();
  const size_t want = size_t(kWriters) * kWrites * 7;
  ASSERT_TRUE(ts::wait_for([&] { return d.Got().size() >= want; }, 10000)) << d.Got().size();
  std::string got = d.Got();
  ASSERT_EQ(got.size(), want);
  std::vector<int> next(kWriters, 0);
  for (size_t i = 0; i < got.size(); i += 7) {
    ASSERT_EQ(got[i + 6], ';') << "record split at " << i << ": " << got.substr(i, 14);
    int w = got[i] - 'a';
    ASSERT_TRUE(w >= 0 && w < kWriters) << got.substr(i, 7);
    ASSERT_EQ(std::atoi(got.substr(i + 1, 5).c_str()), next[size_t(w)]++) << "writer " << w;
  }
  EXPECT_GT(d.offers.load(), 0) << "some writes found the reader idle";
  r.Stop();
  ASPipe_Delete(pipe);
}

}  // namespace

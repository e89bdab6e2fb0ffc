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
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::Completion;

namespace {

// The reader of a pipe and its destination. Each callback appends the chunk
// to `got`; kRearm arms the next read, kDrain first takes every queued
// chunk with ASPipe_Next. As a destination for ASPipe_WriteThrough it takes
// at most `room` bytes per offer (all when negative).
struct Reader {
  enum Mode { kOnce, kRearm, kDrain };
  Reader(ASPipe *p, Completion &c, Mode mode) : pipe(p), c(c) {
    c.then = [this, mode](Completion &) {
      Add(buf, len);
      while (mode == kDrain && ASPipe_Next(pipe, &buf, &len) == 1) Add(buf, len);
      if (mode != kOnce) Arm();
    };
  }
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
  Completion &c;
  std::mutex mu;
  std::string got;
};

// A pipe of capacity cap and its reader, deleted at the end (the pipe
// unless the test deletes it and sets pipe_ to null).
class ASPipeTest : public plattest::LoopTest<2> {
 protected:
  void TearDown() override {
    r_.Stop();
    ASPipe_Delete(pipe_);
  }
  Reader &Read(uint32_t cap, Reader::Mode mode = Reader::kOnce) { return readers_.emplace_back(pipe_ = ASPipe_New(cap), On(), mode); }
  ASPipe *pipe_ = nullptr;
  std::deque<Reader> readers_;
};

// Four writers race the reader with records "<writer><seq>:<pad>;" (a pad
// of up to 299 letters crosses blocks): the reader sees every record whole
// and each writer's in order, also when each direct offer takes only part
// of a record, because nothing passes queued bytes.
class ASPipeRace : public ASPipeTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ASPipeRace, WritersNeverTearReorderOrLoseRecords) {
  const bool through = GetParam();
  Reader &d = Read(through ? 256 : 4096, through ? Reader::kDrain : Reader::kRearm);
  d.room = 5;
  ASSERT_EQ(d.Arm(), 0);
  constexpr int kWriters = 4, kWrites = 2000;
  std::vector<std::thread> th;
  for (int w = 0; w < kWriters; w++)
    th.emplace_back([&, w] {
      for (int i = 0; i < kWrites; i++) {
        std::string rec = char('a' + w) + std::to_string(i) + ":" + std::string((i * 7 + w) % 300, char('a' + w)) + ";";
        ASSERT_GE(through ? d.Through(rec.data(), uint32_t(rec.size())) : ASPipe_Write(pipe_, rec.data(), uint32_t(rec.size())), 0);
      }
    });
  for (auto &t : th) t.join();
  ASSERT_TRUE(ts::wait_for([&] { return ts::count_of(d.Got(), ";") == kWriters * kWrites; }, 10000));
  r_.Stop();
  std::vector<int> next(kWriters, 0);
  std::istringstream records(d.got);
  for (std::string rec; std::getline(records, rec, ';');) {
    int w = rec[0] - 'a', seq = std::atoi(rec.c_str() + 1);
    ASSERT_TRUE(w >= 0 && w < kWriters && rec.find(':') != std::string::npos) << rec;
    ASSERT_EQ(seq, next[size_t(w)]++) << "writer " << w << " out of order";
    ASSERT_EQ(rec.substr(rec.find(':') + 1), std::string((seq * 7 + w) % 300, char('a' + w))) << "torn record";
  }
  EXPECT_EQ(std::vector<int>(kWriters, kWrites), next);
  EXPECT_TRUE(!through || d.offers > 0) << "some writes found the reader idle";
}

INSTANTIATE_TEST_SUITE_P(WriteAndWriteThrough, ASPipeRace, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Through" : "Queued"; });

TEST_F(ASPipeTest, ChunkJoinsQueuedWritesStaysValidWhileMoreArriveAndAWriteLargerThanABlockStaysContiguous) {
  Reader &o = Read(4096, Reader::kOnce);
  for (int i = 0; i < 100; i++) ASPipe_Write(pipe_, "0123456789", 10);
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(1));
  EXPECT_EQ(o.len, 1000u) << "100 small writes come out as one chunk";
  ASPipe_Write(pipe_, "abc", 3);
  EXPECT_EQ(std::string(o.buf + 990, 10), "0123456789");
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(2));
  std::string want;
  for (int i = 0; i < 100; i++) want += "0123456789";
  EXPECT_EQ(o.Got(), want + "abc");
  // A write larger than a block stays contiguous.
  std::string big = ts::pattern(10000);
  ASPipe_Write(pipe_, "head", 4);
  ASPipe_Write(pipe_, big.data(), uint32_t(big.size()));
  for (int i = 3; i <= 4; i++) {
    ASSERT_EQ(o.Arm(), 0);
    ASSERT_TRUE(o.c.Wait(i));
  }
  EXPECT_EQ(o.len, 10000u);
  EXPECT_EQ(o.Got(), want + "abchead" + big);
}

TEST_F(ASPipeTest, ReaderWaitsIsOneShotAloneCancelledTakesNothingAndDeleteWithQueuedBytesAndAReaderReleasesAll) {
  Reader &o = Read(128, Reader::kOnce);
  ASSERT_EQ(o.Arm(), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(o.c.n.load(), 0) << "empty pipe_: no callback";
  EXPECT_EQ(o.Arm(), -1) << "one reader at a time";
  ASPipe_Write(pipe_, "x", 1);
  ASSERT_TRUE(o.c.Wait(1));
  ASPipe_Write(pipe_, "y", 1);
  EXPECT_TRUE(o.c.Still(1)) << "not re-armed: no second callback";
  EXPECT_EQ(ASPipe_Write(pipe_, nullptr, 3), -1);
  EXPECT_EQ(ASPipe_Write(pipe_, nullptr, 0), 0);
  // A cancelled read takes no bytes.
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(2));
  ASSERT_EQ(o.Arm(), 0);
  GDisp_Cancel(o.c.gd);
  ASPipe_Write(pipe_, "kept", 4);
  EXPECT_TRUE(o.c.Still(2));
  ASSERT_EQ(o.Arm(), 0);
  ASSERT_TRUE(o.c.Wait(3));
  EXPECT_EQ(o.Got(), "xykept");
  // Delete with queued bytes and an armed reader releases all.
  ASPipe_Write(pipe_, "abc", 3);
  o.Arm();
  ASSERT_TRUE(o.c.Wait(4));
  ASPipe_Write(pipe_, "def", 3);
  ASPipe_Write(pipe_, std::string(500, 'z').data(), 500);
  o.Arm();
  ASPipe_Delete(pipe_);  // a delivery may be queued: it must find nothing
  pipe_ = nullptr;
  std::this_thread::sleep_for(20ms);
  EXPECT_LE(o.c.n.load(), 5);
}

// ---- without a round through the dispatcher ------------------------------

TEST_F(ASPipeTest, NextHandsOutQueuedChunksInOrderAndRefusesWhileAReadIsArmed) {
  Reader &o = Read(8, Reader::kOnce);
  EXPECT_EQ(ASPipe_Next(pipe_, &o.buf, &o.len), 0) << "empty pipe_";
  ASSERT_EQ(ASPipe_Write(pipe_, "12345678", 8), 0);
  ASSERT_EQ(ASPipe_Write(pipe_, "abc", 3), 0);
  EXPECT_EQ(ASPipe_Queued(pipe_), 11u);
  ASSERT_EQ(ASPipe_Next(pipe_, &o.buf, &o.len), 1);
  EXPECT_EQ(std::string(o.buf, o.len), "12345678");
  EXPECT_EQ(ASPipe_Queued(pipe_), 11u) << "a chunk handed out still counts until released";
  ASSERT_EQ(ASPipe_Next(pipe_, &o.buf, &o.len), 1) << "the first chunk is released, the next one follows";
  EXPECT_EQ(std::string(o.buf, o.len), "abc");
  EXPECT_EQ(ASPipe_Queued(pipe_), 3u);
  EXPECT_EQ(ASPipe_Next(pipe_, &o.buf, &o.len), 0);
  EXPECT_EQ(ASPipe_Queued(pipe_), 0u);
  EXPECT_EQ(ASPipe_Queued(nullptr), 0u);
  EXPECT_EQ(ASPipe_Next(nullptr, &o.buf, &o.len), -1);
  ASSERT_EQ(o.Arm(), 0);
  EXPECT_EQ(ASPipe_Next(pipe_, &o.buf, &o.len), -1) << "a waiting read owns the next chunk";
  ASSERT_EQ(ASPipe_Write(pipe_, "z", 1), 0);
  ASSERT_TRUE(o.c.Wait(1));
  EXPECT_EQ(o.Got(), "z");
}

// Waits until the reader has re-armed after its wakeup number n.
void Idle(Reader &d, int n) {
  ASSERT_TRUE(d.c.Wait(n));
  std::this_thread::sleep_for(20ms);  // the reader re-arms on its group
}

TEST_F(ASPipeTest, WriteThroughGoesDirectOnlyToAnIdleReaderOfAnEmptyPipe) {
  Reader &d = Read(4096, Reader::kDrain);
  EXPECT_EQ(d.Through("queued ", 7), 0) << "no reader: everything is queued";
  EXPECT_EQ(d.offers.load(), 0);
  ASSERT_EQ(d.Arm(), 0);
  Idle(d, 1);
  EXPECT_EQ(d.Through("direct ", 7), 7) << "taken whole";
  EXPECT_EQ(d.offers.load(), 1);
  EXPECT_TRUE(d.c.Still(1)) << "nobody woken";
  d.room = 3;  // partly taken: the rest is queued and the reader sends it after
  EXPECT_EQ(d.Through("partial ", 8), 3);
  Idle(d, 2);
  EXPECT_EQ(d.Got(), "queued direct partial ");
  // Several pieces partly taken: the rest goes on in order, the piece cut
  // short included.
  d.room = 5;
  struct iovec three[3] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cdef"), 4}, {const_cast<char *>("gh"), 2}};
  EXPECT_EQ(ASPipe_WriteThrough(pipe_, three, 3, Reader::Send, &d), 5);
  ASSERT_TRUE(ts::wait_for([&] { return d.Got().size() == 30; }));
  EXPECT_EQ(d.Got(), "queued direct partial abcdefgh");
  struct iovec one = {const_cast<char *>("x"), 1}, none = {nullptr, 1};
  EXPECT_EQ(ASPipe_WriteThrough(pipe_, &one, 1, nullptr, nullptr), -1);
  EXPECT_EQ(ASPipe_WriteThrough(pipe_, &none, 1, Reader::Send, &d), -1);
  EXPECT_EQ(ASPipe_WriteThrough(nullptr, &one, 1, Reader::Send, &d), -1);
}

TEST_F(ASPipeTest, HandedOverBuffersQueueInOrderWithCopiedWritesOrGoDirect) {
  Reader &d = Read(16, Reader::kDrain);
  // Filled by the caller; what a call does not take is freed (the sanitizer
  // builds see a leak otherwise).
  auto filled = [](const char *text) { return static_cast<char *>(std::memcpy(ASPipe_AllocBuf(32), text, strlen(text))); };
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe_, filled("queued "), 7, Reader::Send, &d), 0) << "no reader: queued whole";
  EXPECT_EQ(d.offers.load(), 0);
  ASSERT_EQ(ASPipe_Write(pipe_, "one ", 4), 0);
  ASSERT_EQ(ASPipe_WriteBuf(pipe_, filled("two three "), 10), 0);
  ASSERT_EQ(ASPipe_Write(pipe_, "four ", 5), 0) << "joins the handed-over block, which has room";
  ASSERT_EQ(d.Arm(), 0);
  Idle(d, 1);
  EXPECT_EQ(d.Got(), "queued one two three four ");
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe_, filled("direct "), 7, Reader::Send, &d), 7) << "taken whole and freed";
  d.room = 2;
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe_, filled("split"), 5, Reader::Send, &d), 2);
  ASSERT_TRUE(ts::wait_for([&] { return d.Got().size() == 38; }));
  ASSERT_TRUE(ts::wait_for([&] { return ASPipe_Queued(pipe_) == 0; })) << "only the 3 queued bytes counted";
  EXPECT_EQ(d.Got(), "queued one two three four direct split");
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe_, ASPipe_AllocBuf(8), 4, nullptr, nullptr), -1);
  EXPECT_EQ(ASPipe_WriteBuf(pipe_, ASPipe_AllocBuf(8), 9), -1) << "longer than the buffer";
  EXPECT_EQ(ASPipe_WriteBuf(nullptr, ASPipe_AllocBuf(8), 4), -1);
  EXPECT_EQ(ASPipe_WriteBuf(pipe_, nullptr, 4), -1);
  ASPipe_FreeBuf(ASPipe_AllocBuf(8));
  ASPipe_FreeBuf(nullptr);
  EXPECT_EQ(ASPipe_AllocBuf(0), nullptr);
}

}  // namespace

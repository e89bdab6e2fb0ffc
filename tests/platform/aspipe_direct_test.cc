// Byte pipes without a round through the dispatcher: the reader taking the
// next chunk at once (ASPipe_Next) and writers handing bytes straight to an
// idle reader's destination (ASPipe_WriteThrough), which must never reorder
// or lose bytes.
#include <gtest/gtest.h>

#include <sys/uio.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plat/gdisp.h"
#include "plat_loop.h"

using namespace std::chrono_literals;
using plattest::RunningCx;
using plattest::WaitFor;

namespace {

// A destination that takes at most `room` bytes per offer (all when
// negative) and records everything, whichever path it came by.
struct Sink {
  std::mutex mu;
  std::string got;
  std::atomic<int> offers{0};
  std::atomic<int> room{-1};
  void Add(const char *p, size_t n) {
    std::lock_guard<std::mutex> g(mu);
    got.append(p, n);
  }
  std::string Got() {
    std::lock_guard<std::mutex> g(mu);
    return got;
  }
  static int Send(void *arg, const struct iovec *iov, int cnt) {
    auto *s = static_cast<Sink *>(arg);
    s->offers++;
    int r = s->room.load();
    size_t left = r < 0 ? SIZE_MAX : static_cast<size_t>(r), took = 0;
    for (int i = 0; i < cnt && left > 0; i++) {
      size_t n = std::min(iov[i].iov_len, left);
      s->Add(static_cast<const char *>(iov[i].iov_base), n);
      took += n;
      left -= n;
    }
    return static_cast<int>(took);
  }
};

int Through(ASPipe *pipe, const char *buf, uint32_t len, ASPipeSendFn fn, void *arg) {
  struct iovec one = {const_cast<char *>(buf), len};
  return ASPipe_WriteThrough(pipe, &one, 1, fn, arg);
}

// A reader that drains every queued chunk with ASPipe_Next before it waits
// again, appending to the same sink.
struct Drainer {
  ASPipe *pipe;
  GDisp *gd;
  Sink *sink;
  char *buf = nullptr;
  uint32_t len = 0;
  std::atomic<int> wakeups{0};
  std::atomic<int> next_chunks{0};
  static void Cb(void *p) {
    auto *d = static_cast<Drainer *>(p);
    d->wakeups++;
    d->sink->Add(d->buf, d->len);
    while (ASPipe_Next(d->pipe, &d->buf, &d->len) == 1) {
      d->next_chunks++;
      d->sink->Add(d->buf, d->len);
    }
    ASPipe_Read(d->pipe, &d->buf, &d->len, d->gd, Cb, d);
  }
};

TEST(ASPipeDirect, NextHandsOutQueuedChunksInOrderAndRefusesWhileAReadIsArmed) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(8);
  GDisp *gd = GDisp_New(r.cx());
  char *buf = nullptr;
  uint32_t len = 0;
  EXPECT_EQ(ASPipe_Next(pipe, &buf, &len), 0) << "empty pipe";
  ASSERT_EQ(ASPipe_Write(pipe, "12345678", 8), 0);
  ASSERT_EQ(ASPipe_Write(pipe, "abc", 3), 0);
  EXPECT_EQ(ASPipe_Queued(pipe), 11u);
  ASSERT_EQ(ASPipe_Next(pipe, &buf, &len), 1);
  EXPECT_EQ(std::string(buf, len), "12345678");
  EXPECT_EQ(ASPipe_Queued(pipe), 11u) << "a chunk handed out still counts until released";
  ASSERT_EQ(ASPipe_Next(pipe, &buf, &len), 1) << "the first chunk is released, the next one follows";
  EXPECT_EQ(std::string(buf, len), "abc");
  EXPECT_EQ(ASPipe_Queued(pipe), 3u);
  EXPECT_EQ(ASPipe_Next(pipe, &buf, &len), 0);
  EXPECT_EQ(ASPipe_Queued(pipe), 0u);
  EXPECT_EQ(ASPipe_Queued(nullptr), 0u);
  EXPECT_EQ(ASPipe_Next(nullptr, &buf, &len), -1);

  std::atomic<int> fired{0};
  auto cb = [](void *p) { static_cast<std::atomic<int> *>(p)->fetch_add(1); };
  ASSERT_EQ(ASPipe_Read(pipe, &buf, &len, gd, cb, &fired), 0);
  EXPECT_EQ(ASPipe_Next(pipe, &buf, &len), -1) << "a waiting read owns the next chunk";
  ASSERT_EQ(ASPipe_Write(pipe, "z", 1), 0);
  ASSERT_TRUE(WaitFor([&] { return fired.load() == 1; }));
  EXPECT_EQ(std::string(buf, len), "z");
  GDisp_Delete(gd);
  ASPipe_Delete(pipe);
}

TEST(ASPipeDirect, WriteThroughGoesDirectOnlyToAnIdleReaderOfAnEmptyPipe) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(4096);
  GDisp *gd = GDisp_New(r.cx());
  Sink sink;
  Drainer d{pipe, gd, &sink};

  // No reader: everything is queued, the destination is not offered.
  EXPECT_EQ(Through(pipe, "queued ", 7, Sink::Send, &sink), 0);
  EXPECT_EQ(sink.offers.load(), 0);
  ASSERT_EQ(ASPipe_Read(pipe, &d.buf, &d.len, gd, Drainer::Cb, &d), 0);
  ASSERT_TRUE(WaitFor([&] { return d.wakeups.load() == 1; }));
  std::this_thread::sleep_for(20ms);  // the reader re-arms on its group

  // Idle reader, empty pipe: taken whole, nobody woken.
  EXPECT_EQ(Through(pipe, "direct ", 7, Sink::Send, &sink), 7);
  EXPECT_EQ(sink.offers.load(), 1);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(d.wakeups.load(), 1);

  // Partly taken: the rest is queued and the reader sends it after.
  sink.room = 3;
  EXPECT_EQ(Through(pipe, "partial ", 8, Sink::Send, &sink), 3);
  ASSERT_TRUE(WaitFor([&] { return d.wakeups.load() == 2; }));
  EXPECT_EQ(sink.Got(), "queued direct partial ");

  // Several pieces partly taken: the rest goes on in order, the piece cut
  // short included.
  sink.room = 5;
  struct iovec three[3] = {{const_cast<char *>("ab"), 2}, {const_cast<char *>("cdef"), 4}, {const_cast<char *>("gh"), 2}};
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(ASPipe_WriteThrough(pipe, three, 3, Sink::Send, &sink), 5);
  ASSERT_TRUE(WaitFor([&] { return sink.Got().size() == 30; }));
  EXPECT_EQ(sink.Got(), "queued direct partial abcdefgh");

  EXPECT_EQ(Through(pipe, "x", 1, nullptr, nullptr), -1);
  EXPECT_EQ(Through(pipe, nullptr, 1, Sink::Send, &sink), -1);
  GDisp_Delete(gd);
  ASPipe_Delete(pipe);
  EXPECT_EQ(Through(nullptr, "x", 1, Sink::Send, &sink), -1);
}

TEST(ASPipeDirect, HandedOverBuffersQueueInOrderWithCopiedWrites) {
  ASPipe *pipe = ASPipe_New(16);
  char *buf = nullptr;
  uint32_t len = 0;
  ASSERT_EQ(ASPipe_Write(pipe, "one ", 4), 0);
  char *area = ASPipe_AllocBuf(64);
  ASSERT_NE(area, nullptr);
  std::memcpy(area, "two three ", 10);
  ASSERT_EQ(ASPipe_WriteBuf(pipe, area, 10), 0);
  ASSERT_EQ(ASPipe_Write(pipe, "four", 4), 0) << "joins the handed-over block, which has room";
  std::string got;
  while (ASPipe_Next(pipe, &buf, &len) == 1) got.append(buf, len);
  EXPECT_EQ(got, "one two three four");

  // Refused buffers are still taken (and freed: the sanitizer builds see a
  // leak otherwise).
  EXPECT_EQ(ASPipe_WriteBuf(pipe, ASPipe_AllocBuf(8), 9), -1) << "longer than the buffer";
  EXPECT_EQ(ASPipe_WriteBuf(nullptr, ASPipe_AllocBuf(8), 4), -1);
  EXPECT_EQ(ASPipe_WriteBuf(pipe, nullptr, 4), -1);
  ASPipe_FreeBuf(ASPipe_AllocBuf(8));
  ASPipe_FreeBuf(nullptr);
  EXPECT_EQ(ASPipe_AllocBuf(0), nullptr);
  ASPipe_Delete(pipe);
}

TEST(ASPipeDirect, HandedOverBufferGoesDirectAndOnlyItsRestIsQueued) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(4096);
  GDisp *gd = GDisp_New(r.cx());
  Sink sink;
  Drainer d{pipe, gd, &sink};
  char *first = ASPipe_AllocBuf(32);
  std::memcpy(first, "queued ", 7);
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, first, 7, Sink::Send, &sink), 0) << "no reader: queued whole";
  ASSERT_EQ(ASPipe_Read(pipe, &d.buf, &d.len, gd, Drainer::Cb, &d), 0);
  ASSERT_TRUE(WaitFor([&] { return d.wakeups.load() == 1; }));
  std::this_thread::sleep_for(20ms);

  char *whole = ASPipe_AllocBuf(32);
  std::memcpy(whole, "direct ", 7);
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, whole, 7, Sink::Send, &sink), 7) << "taken whole and freed";
  sink.room = 2;
  char *part = ASPipe_AllocBuf(32);
  std::memcpy(part, "split", 5);
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, part, 5, Sink::Send, &sink), 2);
  ASSERT_TRUE(WaitFor([&] { return sink.Got().size() == 19; }));
  ASSERT_TRUE(WaitFor([&] { return ASPipe_Queued(pipe) == 0; })) << "only the 3 queued bytes counted, then released";
  EXPECT_EQ(sink.Got(), "queued direct split");
  EXPECT_EQ(ASPipe_WriteBufThrough(pipe, ASPipe_AllocBuf(8), 4, nullptr, nullptr), -1) << "and freed";
  GDisp_Delete(gd);
  ASPipe_Delete(pipe);
}

// Many writers race the reader, each write partly taken at random: the
// destination still sees each writer's bytes whole and in order, because
// nothing passes queued bytes.
TEST(ASPipeDirect, ConcurrentWriteThroughNeverReordersOrLoses) {
  RunningCx r(2);
  ASPipe *pipe = ASPipe_New(256);
  GDisp *gd = GDisp_New(r.cx());
  Sink sink;
  sink.room = 5;
  Drainer d{pipe, gd, &sink};
  ASSERT_EQ(ASPipe_Read(pipe, &d.buf, &d.len, gd, Drainer::Cb, &d), 0);
  const int kWriters = 4, kWrites = 2000;
  std::vector<std::thread> th;
  for (int w = 0; w < kWriters; w++)
    th.emplace_back([&, w] {
      for (int i = 0; i < kWrites; i++) {
        char rec[12];
        std::snprintf(rec, sizeof rec, "%c%05d;", 'a' + w, i);
        ASSERT_GE(Through(pipe, rec, 7, Sink::Send, &sink), 0);
      }
    });
  for (auto &t : th) t.join();
  const size_t want = size_t(kWriters) * kWrites * 7;
  ASSERT_TRUE(WaitFor([&] { return sink.Got().size() >= want; }, 10s)) << sink.Got().size();
  std::string got = sink.Got();
  ASSERT_EQ(got.size(), want);
  // Every record arrives whole (a short direct send leaves the rest at the
  // head of the queue, and nothing goes direct until it is out), and each
  // writer's records keep their order.
  std::vector<int> next(kWriters, 0);
  for (size_t i = 0; i < got.size(); i += 7) {
    ASSERT_EQ(got[i + 6], ';') << "record split at " << i << ": " << got.substr(i, 14);
    int w = got[i] - 'a';
    ASSERT_TRUE(w >= 0 && w < kWriters) << got.substr(i, 7);
    ASSERT_EQ(std::atoi(got.substr(i + 1, 5).c_str()), next[size_t(w)]) << "writer " << w;
    next[size_t(w)]++;
  }
  EXPECT_GT(sink.offers.load(), 0) << "some writes found the reader idle";
  GDisp_Delete(gd);
  ASPipe_Delete(pipe);
}

}  // namespace

/* The multiplexor's live counters: what the process has done since it
 * started (sessions, refusals, bytes and records each way, the server link,
 * handshakes, paused readers and accepts), kept per process and shown as
 * Prometheus text by the metrics listener (metrics/mux_metrics.h).
 *
 * Cost: one relaxed atomic add per event, on the thread where the event
 * happens, into that thread's own shard of the counters (threads share a
 * shard only beyond MUX_COUNTER_SHARDS), so counting threads never write
 * the same cache line; no lock, nothing else is touched. A scrape adds
 * the shards up. A process that shows no metrics still counts (into a slot
 * of its own memory).
 *
 * Processes: with the listener on, the slots of all processes of a group
 * (option -f) live in one shared mapping made before the fork; each
 * process claims one and counts only into it, and any process's listener
 * shows every live process, each under a pid label.
 *
 * Threads: mux_counters_share and mux_counters_claim run in the first
 * thread before any other thread exists; mux_count and its companions on
 * any thread; mux_counters_text on any thread (the listener's). */
#ifndef MUX_METRICS_MUX_COUNTERS_H
#define MUX_METRICS_MUX_COUNTERS_H

#include <stdint.h>

#include <atomic>
#include <string>

enum MuxCounterId {
    /* client sessions */
    MUX_SESSIONS_TOTAL,
    MUX_SESSIONS_ACTIVE, /* gauge */
    MUX_SESSIONS_LIMIT,  /* gauge: the session limit of the current cycle */
    MUX_REFUSED_ACCESS_LIST,
    MUX_REFUSED_SESSION_LIMIT,
    MUX_REFUSED_SERVER_DOWN,
    MUX_REFUSED_NO_RESOURCES,
    MUX_REFUSED_HANDSHAKE,
    /* bytes and records */
    MUX_CLIENT_RECEIVED_BYTES,
    MUX_CLIENT_SENT_BYTES,
    MUX_SERVER_RECEIVED_BYTES,
    MUX_SERVER_SENT_BYTES,
    MUX_SERVER_RECEIVED_RECORDS,
    MUX_SERVER_SENT_RECORDS,
    /* the server link and the cycles */
    MUX_LINK_UP, /* gauge */
    MUX_LINK_UPS,
    MUX_LINK_DOWNS,
    MUX_LINK_FAILURES,
    MUX_CYCLES,
    MUX_READER_PAUSES,
    /* client SSL handshakes */
    MUX_HANDSHAKES_COMPLETED,
    MUX_HANDSHAKES_FAILED,
    MUX_HANDSHAKES_TIMED_OUT,
    /* accepting */
    MUX_ACCEPT_PAUSES,
    MUX_ACCEPT_PAUSED, /* gauge */
    MUX_COUNTER_COUNT
};

#define MUX_COUNTER_SHARDS 8

/* Every counter once, for the threads of one shard; a shard starts on a
 * cache line of its own. */
struct alignas(64) MuxCounterShard {
    std::atomic<int64_t> value[MUX_COUNTER_COUNT];
};

/* The counters of one process; pid 0 while the slot is free. Gauges that
 * are set rather than added to (MUX_SESSIONS_LIMIT, MUX_LINK_UP,
 * MUX_ACCEPT_PAUSED) live in shard 0 only. */
struct MuxCounterSlot {
    std::atomic<int32_t> pid;
    std::atomic<int64_t> start_time; /* seconds since the epoch; 0 until claimed */
    MuxCounterShard shard[MUX_COUNTER_SHARDS];
};

/* This process's slot; never null. */
extern MuxCounterSlot *mux_counters;
/* This thread's shard, taken at its first count. */
int mux_counters_take_shard(void);
extern thread_local int mux_counter_shard;

static inline void mux_count(MuxCounterId id, int64_t n = 1) {
    int s = mux_counter_shard;
    if (s < 0) s = mux_counters_take_shard();
    mux_counters->shard[s].value[id].fetch_add(n, std::memory_order_relaxed);
}
static inline void mux_gauge_set(MuxCounterId id, int64_t v) {
    mux_counters->shard[0].value[id].store(v, std::memory_order_relaxed);
}
/* Sets the gauge and reports whether it held another value before. */
static inline bool mux_gauge_change(MuxCounterId id, int64_t v) {
    return mux_counters->shard[0].value[id].exchange(v, std::memory_order_relaxed) != v;
}

/* Room for the slots of `processes` processes in memory that forked
 * processes share. 0, or -1 with errno set. */
int mux_counters_share(int processes);
/* Takes a free slot for this process (in the shared mapping when there is
 * one) and counts into it from now on. 0, or -1 when every slot is taken. */
int mux_counters_claim(void);
/* Every live process's counters in the Prometheus text format 0.0.4. */
std::string mux_counters_text(void);

#endif

/* The live counters and their text form. The table below is the one list
 * of what is shown: name, type, help text, and which counters make its
 * samples. */
#include "metrics/mux_counters.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <new>

namespace {

MuxCounterSlot own_slot;
MuxCounterSlot *shared_slots = nullptr;
int shared_count = 0;
std::atomic<int> next_shard{0};

/* A sample of a family: a counter, or the slot's start time (kStartTime),
 * with its label other than the pid ("" for none). */
constexpr int kStartTime = -1;
struct Sample {
    int id;
    const char *label;
};

struct Family {
    const char *name;
    const char *type;
    const char *help;
    Sample samples[5];
};

const Family kFamilies[] = {
    {"mux_sessions_total", "counter", "Client sessions opened.", {{MUX_SESSIONS_TOTAL, ""}}},
    {"mux_sessions_active", "gauge", "Client sessions open now.", {{MUX_SESSIONS_ACTIVE, ""}}},
    {"mux_sessions_limit",
     "gauge",
     "Session limit of this process (orv_mux.maxsessions, lowered to fit the descriptor limit).",
     {{MUX_SESSIONS_LIMIT, ""}}},
    {"mux_sessions_refused_total",
     "counter",
     "Clients closed before they became sessions: by the access list, at the session limit, while the IM server "
     "link was down, for want of a connection number or memory, or because their SSL handshake failed or timed out.",
     {{MUX_REFUSED_ACCESS_LIST, "reason=\"access_list\""},
      {MUX_REFUSED_SESSION_LIMIT, "reason=\"session_limit\""},
      {MUX_REFUSED_SERVER_DOWN, "reason=\"server_down\""},
      {MUX_REFUSED_NO_RESOURCES, "reason=\"no_resources\""},
      {MUX_REFUSED_HANDSHAKE, "reason=\"handshake\""}}},
    {"mux_client_received_bytes_total", "counter", "Bytes read from clients.", {{MUX_CLIENT_RECEIVED_BYTES, ""}}},
    {"mux_client_sent_bytes_total",
     "counter",
     "Bytes from the IM server handed to clients (sent at once or queued for them).",
     {{MUX_CLIENT_SENT_BYTES, ""}}},
    {"mux_server_received_bytes_total",
     "counter",
     "Bytes of records read from the IM server link.",
     {{MUX_SERVER_RECEIVED_BYTES, ""}}},
    {"mux_server_sent_bytes_total",
     "counter",
     "Bytes of records queued for the IM server link, headers included.",
     {{MUX_SERVER_SENT_BYTES, ""}}},
    {"mux_server_received_records_total",
     "counter",
     "Records read from the IM server link.",
     {{MUX_SERVER_RECEIVED_RECORDS, ""}}},
    {"mux_server_sent_records_total",
     "counter",
     "Records (open, data, close) queued for the IM server link.",
     {{MUX_SERVER_SENT_RECORDS, ""}}},
    {"mux_server_link_up", "gauge", "1 while the link to the IM server is up, else 0.", {{MUX_LINK_UP, ""}}},
    {"mux_server_link_ups_total",
     "counter",
     "Times the link to the IM server came up (its hello answered).",
     {{MUX_LINK_UPS, ""}}},
    {"mux_server_link_downs_total",
     "counter",
     "Times the link to the IM server ended after it was up.",
     {{MUX_LINK_DOWNS, ""}}},
    {"mux_server_link_failures_total",
     "counter",
     "Attempts to make the link to the IM server that never came up.",
     {{MUX_LINK_FAILURES, ""}}},
    {"mux_cycles_total",
     "counter",
     "Multiplexor cycles started: the first, and one after each lost link.",
     {{MUX_CYCLES, ""}}},
    {"mux_client_reader_pauses_total",
     "counter",
     "Times a client's reader paused because too much waited for the IM server link.",
     {{MUX_READER_PAUSES, ""}}},
    {"mux_ssl_handshakes_total",
     "counter",
     "Client SSL handshakes that ended, by result.",
     {{MUX_HANDSHAKES_COMPLETED, "result=\"completed\""},
      {MUX_HANDSHAKES_FAILED, "result=\"failed\""},
      {MUX_HANDSHAKES_TIMED_OUT, "result=\"timed_out\""}}},
    {"mux_accept_pauses_total",
     "counter",
     "Times accepting clients paused because the process was out of descriptors or memory.",
     {{MUX_ACCEPT_PAUSES, ""}}},
    {"mux_accept_paused",
     "gauge",
     "1 while accepting clients is paused for want of descriptors or memory.",
     {{MUX_ACCEPT_PAUSED, ""}}},
    {"mux_process_start_time_seconds",
     "gauge",
     "Start time of the process since the epoch, in seconds.",
     {{kStartTime, ""}}},
};

bool _live(const MuxCounterSlot &slot) {
    int32_t pid = slot.pid.load(std::memory_order_acquire);
    if (pid == 0 || slot.start_time.load(std::memory_order_acquire) == 0) return false;
    return pid == getpid() || kill(pid, 0) == 0 || errno == EPERM;
}

int64_t _value(const MuxCounterSlot &slot, int id) {
    if (id == kStartTime) return slot.start_time.load(std::memory_order_relaxed);
    if (id == MUX_SESSIONS_LIMIT || id == MUX_LINK_UP || id == MUX_ACCEPT_PAUSED)
        return slot.shard[0].value[id].load(std::memory_order_relaxed);
    int64_t sum = 0;
    for (const MuxCounterShard &s : slot.shard) sum += s.value[id].load(std::memory_order_relaxed);
    return sum;
}

}  // namespace

MuxCounterSlot *mux_counters = &own_slot;
thread_local int mux_counter_shard = -1;

int mux_counters_take_shard(void) {
    mux_counter_shard = next_shard.fetch_add(1, std::memory_order_relaxed) % MUX_COUNTER_SHARDS;
    return mux_counter_shard;
}

int mux_counters_share(int processes) {
    if (processes < 1) processes = 1;
    size_t size = sizeof(MuxCounterSlot) * static_cast<size_t>(processes);
    void *mem = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return -1;
    shared_slots = static_cast<MuxCounterSlot *>(mem);
    for (int i = 0; i < processes; i++) new (&shared_slots[i]) MuxCounterSlot();
    shared_count = processes;
    return 0;
}

int mux_counters_claim(void) {
    int32_t me = static_cast<int32_t>(getpid());
    MuxCounterSlot *slot = nullptr;
    if (!shared_slots) {
        slot = &own_slot;
        slot->pid.store(me, std::memory_order_release);
    }
    for (int i = 0; i < shared_count && !slot; i++) {
        int32_t free_pid = 0;
        if (shared_slots[i].pid.compare_exchange_strong(free_pid, me)) slot = &shared_slots[i];
    }
    if (!slot) return -1;
    slot->start_time.store(static_cast<int64_t>(time(nullptr)), std::memory_order_release);
    mux_counters = slot;
    return 0;
}

std::string mux_counters_text(void) {
    MuxCounterSlot *slots = shared_slots ? shared_slots : &own_slot;
    int n = shared_slots ? shared_count : 1;
    std::string out;
    out.reserve(8192);
    char line[256];
    for (const Family &f : kFamilies) {
        out += "# HELP ";
        out += f.name;
        out += ' ';
        out += f.help;
        out += "\n# TYPE ";
        out += f.name;
        out += ' ';
        out += f.type;
        out += '\n';
        for (int i = 0; i < n; i++) {
            const MuxCounterSlot &slot = slots[i];
            if (!_live(slot)) continue;
            for (const Sample &s : f.samples) {
                if (!s.label) break;
                long long v = _value(slot, s.id);
                snprintf(line, sizeof line, "%s{pid=\"%d\"%s%s} %lld\n", f.name, static_cast<int>(slot.pid.load()),
                         *s.label ? "," : "", s.label, v);
                out += line;
            }
        }
    }
    return out;
}

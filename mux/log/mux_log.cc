// The multiplexor's log channels.  Nothing here is locked: init, uninit,
// open and close run on the main thread at start-up and shut-down; the
// refresh and reopen calls on the main thread at start-up or on the reload
// thread while workers log (the writer guards what they change);
// muxlog_traffic, called from worker threads, only reads the two flags,
// which each refresh sets again from the configuration.
#include "log/mux_log.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <strings.h>

#include <prprf.h>

#include "config/config.h"
#include "plat/array.h"

__attribute__((weak)) char *logdir = nullptr;

namespace {

int muxlog_initialized = 0;
PlatArray *muxlog_handles = nullptr;
std::atomic<int> debug{0};
std::atomic<int> snoop{0};
// Lines go to standard error instead of a file (muxlog_use_stderr).
int muxlog_to_stderr = 0;

struct MuxLogSetting {
    const char *key;
    const char *textdef; // null: numeric default below
    int numdef;
    const char *word;
};

const MuxLogSetting muxlog_settings[] = {
    {"orv.log.orv_mux.severity", "Notice", 0, "loglevel"},
    {"orv.log.orv_mux.logfacility", "General", 0, "logfacility"},
    {"orv.log.orv_mux.rollovertime", nullptr, 86400, "rollovertime"},
    {"orv.log.orv_mux.expirytime", nullptr, 604800, "expirytime"},
    {"orv.log.orv_mux.maxlogfilesize", nullptr, 2097152, "maxlogfilesize"},
    {"orv.log.orv_mux.maxlogfiles", nullptr, 10, "maxlogfiles"},
    {"orv.log.orv_mux.maxlogsize", nullptr, 20971520, "maxlogsize"},
    {"orv.log.orv_mux.minfreediskspace", nullptr, 5242880, "minfreediskspace"},
    {"orv.log.orv_mux.flushinterval", nullptr, 60, "flushinterval"},
    {"orv.log.orv_mux.buffersize", nullptr, 0, "buffersize"},
};
constexpr int MUXLOG_NSETTINGS = sizeof(muxlog_settings) / sizeof(muxlog_settings[0]);

int muxlog_find(const void *element, const void *item)
{
    auto a = reinterpret_cast<std::uintptr_t>(element);
    auto b = reinterpret_cast<std::uintptr_t>(item);
    return a < b ? -1 : a > b ? 1 : 0;
}

void muxlog_refresh_config(LogHandle *handle)
{
    ConfigCache *cache = config_getdefaultcache();
    char numbers[MUXLOG_NSETTINGS][20];
    LogConfigPair pairs[MUXLOG_NSETTINGS + 1];
    for (int i = 0; i < MUXLOG_NSETTINGS; ++i) {
        const MuxLogSetting &s = muxlog_settings[i];
        const char *def = s.textdef;
        if (def == nullptr) {
            PR_snprintf(numbers[i], sizeof(numbers[i]), "%i", s.numdef);
            def = numbers[i];
        }
        pairs[i].option = const_cast<char *>(s.word);
        pairs[i].value = const_cast<char *>(config_get_string(cache, s.key, def));
    }
    pairs[MUXLOG_NSETTINGS].option = nullptr;
    pairs[MUXLOG_NSETTINGS].value = nullptr;
    // Both flags follow the configuration of the moment, so that a reload
    // that switches the snoop off stops it even at severity Debug.
    int dbg = pairs[0].value && strcasecmp(pairs[0].value, "debug") == 0;
    debug = dbg;
    qxlog_config(handle, pairs);
    const char *sn = config_get_string(cache, "orv.log.orv_mux.snoop", "false");
    snoop = dbg && sn && strcasecmp(sn, "true") == 0;
}

void muxlog_default_config(LogHandle *handle, const char *servicename, const char *processname)
{
    LogConfigPair pairs[] = {
        {const_cast<char *>("logdir"), muxlog_to_stderr ? nullptr : logdir},
        {const_cast<char *>("servicename"), const_cast<char *>(servicename)},
        {const_cast<char *>("processname"), const_cast<char *>(processname)},
        {nullptr, nullptr},
    };
    qxlog_config(handle, pairs);
    muxlog_refresh_config(handle);
}

} // namespace

LogHandle *muxlog_init(const char *servicename, const char *processname, int use_stderr)
{
    if (muxlog_initialized)
        return nullptr;
    muxlog_initialized = 1;
    muxlog_handles = array_new();
    LogHandle *handle = qxlog_open();
    if (handle) {
        array_append(muxlog_handles, handle);
        muxlog_default_config(nullptr, servicename, processname);
    }
    muxlog_stderr(use_stderr || muxlog_to_stderr);
    return handle;
}

void muxlog_use_stderr(int on)
{
    muxlog_to_stderr = on ? 1 : 0;
}

void muxlog_reopen(void)
{
    if (!muxlog_initialized)
        return;
    for (int i = 0; i < array_count(muxlog_handles); ++i)
        qxlog_reopen(static_cast<LogHandle *>(array_elementat(muxlog_handles, i)));
    qxlog_reopen(nullptr);
}

void muxlog_uninit(void)
{
    if (!muxlog_initialized)
        return;
    muxlog_initialized = 0;
    for (int i = 0; i < array_count(muxlog_handles); ++i)
        qxlog_close(static_cast<LogHandle *>(array_elementat(muxlog_handles, i)));
    array_delete(muxlog_handles);
    muxlog_handles = nullptr;
}

LogHandle *muxlog_open(const char *servicename, const char *processname)
{
    if (!muxlog_initialized) {
        muxlog_init(servicename, processname, 0);
        return nullptr;
    }
    LogHandle *handle = qxlog_open();
    if (handle == nullptr)
        return nullptr;
    array_append(muxlog_handles, handle);
    muxlog_default_config(handle, servicename, processname);
    return handle;
}

void muxlog_close(LogHandle *handle)
{
    if (!muxlog_initialized || handle == nullptr)
        return;
    int idx = array_locate(muxlog_handles, handle, muxlog_find);
    if (idx < 0)
        return;
    qxlog_close(handle);
    array_removeat(muxlog_handles, idx);
}

void muxlog_config(LogHandle *handle, const char *word, const char *value)
{
    LogConfigPair pairs[] = {
        {const_cast<char *>(word), const_cast<char *>(value)},
        {nullptr, nullptr},
    };
    qxlog_config(handle, pairs);
}

void muxlog_refresh(void)
{
    if (!muxlog_initialized)
        return;
    for (int i = 0; i < array_count(muxlog_handles); ++i)
        muxlog_refresh_config(static_cast<LogHandle *>(array_elementat(muxlog_handles, i)));
    muxlog_refresh_config(nullptr);
}

void muxlog_refresh_choice(int all)
{
    if (!muxlog_initialized)
        return;
    if (all)
        muxlog_refresh();
    else
        muxlog_refresh_config(nullptr);
}

void muxlog_stderr(int on)
{
    qxlog_setoptions(on ? 0u : QXLOG_OPT_NOSTDERR);
}

void muxlog_traffic(LogHandle *handle, const char *direction, const char *source,
                    const char *destination, int id, const void *data, int offset, int length)
{
    if (!(debug && snoop))
        return;
    if (length >= 1 && data != nullptr) {
        // The relay's buffers are not NUL-terminated: bound the text here so
        // the formatter never looks past the data.
        const char *text = static_cast<const char *>(data) + offset;
        const void *zero = std::memchr(text, '\0', (size_t)length);
        int shown = zero ? (int)(static_cast<const char *>(zero) - text) : length;
        qxlog(handle, QXLOG_DEBUG, "SNOOP %s %s -> %s [%d] %.*s\n", direction, source, destination,
              id, shown, text);
    } else
        qxlog(handle, QXLOG_DEBUG, "SNOOP %s %s -> %s [%d]", direction, source, destination, id);
}

/* The writer chain (mux_writer.h). */
#include "relay/mux_writer.h"

#include "relay/mux_io.h"

namespace {

void _writer_run(void *arg);

void _writer_wait(MuxWriter *w) {
    ASPipe_Read(w->pipe, &w->wbuf, &w->wlen, w->gd, _writer_run, w);
    if (w->hooks->waiting) w->hooks->waiting(w->owner);
}

void _writer_done(void *arg) {
    MuxWriter *w = static_cast<MuxWriter *>(arg);
    w->hooks->wrote(w->owner, w);
    if (w->hooks->go_on(w->owner)) _writer_wait(w);
}

void _writer_run(void *arg) {
    MuxWriter *w = static_cast<MuxWriter *>(arg);
    if (w->hooks->may_write && !w->hooks->may_write(w->owner)) return;
    for (int round = 0; w->wlen > 0; round++) {
        int n = round < MUX_WRITER_CHUNKS_PER_RUN ? ASock_Send(w->sock, w->wbuf, static_cast<int>(w->wlen)) : 0;
        if (n != static_cast<int>(w->wlen)) {
            uint32_t off = n > 0 ? static_cast<uint32_t>(n) : 0;
            if (ASock_AsyncWrite(w->sock, w->wbuf + off, w->wlen - off, &w->wstatus, w->gd, _writer_done, w) == 0)
                return;
            break;
        }
        w->wstatus = MUX_IO_DONE;
        w->hooks->wrote(w->owner, w);
        if (ASPipe_Next(w->pipe, &w->wbuf, &w->wlen) != 1) w->wlen = 0;
    }
    _writer_wait(w);
}

}  // namespace

void mux_writer_init(MuxWriter *w, ASock *sock, ASPipe *pipe, GDisp *gd, const MuxWriterHooks *hooks, void *owner) {
    w->sock = sock;
    w->pipe = pipe;
    w->gd = gd;
    w->wbuf = nullptr;
    w->wlen = 0;
    w->wstatus = MUX_IO_DONE;
    w->hooks = hooks;
    w->owner = owner;
}

void mux_writer_start(MuxWriter *w) { ASPipe_Read(w->pipe, &w->wbuf, &w->wlen, w->gd, _writer_run, w); }

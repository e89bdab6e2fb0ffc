// Shared inside libtovi by the retrying I/O, file transmission and the
// asynchronous file source: which errors are worth another try.
#ifndef TOVI_SRC_RETRY_INTERNAL_H
#define TOVI_SRC_RETRY_INTERNAL_H

// EINTR and the kernel shortages ENOMEM, ENOSR, ENOBUFS. EAGAIN is not one.
bool tovi_is_transient(int err);

#endif

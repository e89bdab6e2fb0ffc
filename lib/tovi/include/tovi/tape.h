/* Magnetic-tape control. Descriptors that are not tape drives are reported
 * as such (is_tape 0) and fail the other requests.
 * Thread safety: any thread; one drive is driven by one thread at a time. */
#ifndef TOVI_TAPE_H
#define TOVI_TAPE_H

#include <stdint.h>

#include "tovi/export.h"

TOVI_BEGIN_DECLS

/* 1 when fd answers the tape status request, else 0. */
TOVI_EXPORT int is_tape(int fd);
/* Writes one end-of-file mark (option is not used): 0, or the errno. */
TOVI_EXPORT int write_file_mark(int fd, int option);
/* Spaces forward over (low 32 bits of blknb) - 1 records: 0, 2 on an I/O
 * error (EIO), 1 on any other error. */
TOVI_EXPORT int set_tape_position(int fd, int64_t blknb);
/* Rewinds and unloads the tape: 0 or -1. */
TOVI_EXPORT int rewind_off_line(int fd);

TOVI_END_DECLS

#endif

/* libtovi: every public header of the runtime library. */
#ifndef TOVI_TOVI_H
#define TOVI_TOVI_H

#include "tovi/export.h"
#include "tovi/event.h"
#include "tovi/lock.h"
#include "tovi/map.h"
#include "tovi/mutex.h"
#include "tovi/sema.h"
#include "tovi/service.h"
#include "tovi/stdapi.h"
#include "tovi/thread.h"
#include "tovi/xmalloc.h"

#endif

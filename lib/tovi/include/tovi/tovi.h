/* libtovi: every public header of the runtime library. */
#ifndef TOVI_TOVI_H
#define TOVI_TOVI_H

#include "tovi/export.h"
#include "tovi/asdyn.h"
#include "tovi/event.h"
#include "tovi/lock.h"
#include "tovi/map.h"
#include "tovi/msgutil.h"
#include "tovi/mutex.h"
#include "tovi/networks.h"
#include "tovi/prot.h"
#include "tovi/retry.h"
#include "tovi/sema.h"
#include "tovi/service.h"
#include "tovi/stdapi.h"
#include "tovi/stdapi_util.h"
#include "tovi/tape.h"
#include "tovi/thread.h"
#include "tovi/timeconv.h"
#include "tovi/transmitfile.h"
#include "tovi/xmalloc.h"

#endif

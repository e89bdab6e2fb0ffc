/* libtovi: every public header of the runtime library. */
#ifndef TOVI_TOVI_H
#define TOVI_TOVI_H

#include "tovi/export.h"

#endif

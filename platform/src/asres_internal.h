// Resolver requests that report their end to a callback (used by
// GDisp_GetAddr). Not installed.
#ifndef PLAT_ASRES_INTERNAL_H
#define PLAT_ASRES_INTERNAL_H

#include "plat/asres.h"

namespace plat {

// A request for pszName that does not start yet; NULL when none can be made.
ASRes *asres_prepare_byname(const char *pszName);
// Starts it; done(arg) runs once when it has finished, on the resolver's
// thread or at once on the caller's. Returns 0, or -1 (done will not run).
int asres_start(ASRes *res, void (*done)(void *), void *arg);

}  // namespace plat

#endif

// GDisp_GetAddr: a resolver request whose end is delivered on a dispatch
// object.
//
// Threads: the request finishes on its own thread, which posts the result
// to the object's group; the handler there releases the request. Requests
// in flight are registered with the context (under cx->mu) so that
// GDispCx_Delete can wait for their threads before the io_context goes.
#include <cerrno>
#include <cstring>
#include <new>

#include "asres_internal.h"
#include "gdisp_internal.h"

namespace plat {

struct AddrOp {
  Waiter w;
  uint32_t *pnaddr = nullptr;
  ASRes *res = nullptr;
  GDispCx *cx = nullptr;
  Links<AddrOp> cxl;  // in cx->addrops, under cx->mu
};

namespace {

void _unlink(AddrOp *op) {
  std::lock_guard<std::mutex> g(op->cx->mu);
  list_unlink<AddrOp, &AddrOp::cxl>(op->cx->addrops, op);
}

void _addr_finish(AddrOp *op) {
  _unlink(op);
  ASResAnswer ans;
  int rc = ASRes_GetResult(op->res, &ans);
  uint32_t addr = 0;
  if (rc == 0) std::memcpy(&addr, ans.host.phe->h_addr_list[0], 4);
  uint32_t *out = op->pnaddr;
  Waiter w = std::move(op->w);
  ASRes_Delete(op->res);
  delete op;
  w.fire(rc, [&] {
    if (rc == 0) *out = addr;
  });
}

void _addr_done(void *p) {
  auto *op = static_cast<AddrOp *>(p);
  GDisp *gd = op->w.gd.get();
  run_on_group(gd, [op] { _addr_finish(op); });
}

}  // namespace

void addrops_detach_all(GDispCx *cx) {
  for (;;) {
    AddrOp *op;
    {
      std::lock_guard<std::mutex> g(cx->mu);
      op = cx->addrops;
      if (!op) return;
      list_unlink<AddrOp, &AddrOp::cxl>(cx->addrops, op);
    }
    // Its delivery, if queued, never runs: the loop has stopped and the
    // io_context is destroyed next.
    ASRes_Delete(op->res);
    delete op;
  }
}

}  // namespace plat

using namespace plat;

int GDisp_GetAddr(GDisp *gd, const char *pszHost, uint32_t *pnAddr, GDispFn fn, void *arg) {
  if (!gd || !pszHost || !pnAddr || !fn) return -1;
  GDispCx *cx;
  {
    std::lock_guard<std::mutex> g(gd->mu);
    cx = gd->cx;
  }
  if (!cx) return -1;
  auto *op = new (std::nothrow) AddrOp;
  if (!op) return -1;
  op->res = asres_prepare_byname(pszHost);
  if (!op->res) {
    // No request for an empty name: report it as a failed lookup.
    delete op;
    Waiter w(gd, fn, arg);
    run_on_group(gd, [w = std::move(w)]() mutable { w.fire(EINVAL); });
    return 0;
  }
  op->w = Waiter(gd, fn, arg);
  op->pnaddr = pnAddr;
  op->cx = cx;
  {
    std::lock_guard<std::mutex> g(cx->mu);
    list_push<AddrOp, &AddrOp::cxl>(cx->addrops, op);
  }
  if (asres_start(op->res, _addr_done, op) != 0) {
    _unlink(op);
    ASRes_Delete(op->res);
    delete op;
    return -1;
  }
  return 0;
}

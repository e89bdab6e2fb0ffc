// Memory contexts: every block carries a header that links it into its
// context's doubly linked list, so a block is freed in O(1) and a context
// frees all its blocks (and its child contexts) at once.
//
// Threads: each context's `mu` guards its block list and its list of
// children. A child links itself into its parent under the parent's `mu`.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "plat/memcx.h"

namespace {

struct alignas(16) Hdr {
  Hdr *prev, *next;
  size_t size;
};

struct DbllMemCx {
  MemCx ops;  // first, so that a MemCx* is a DbllMemCx*
  std::mutex mu;
  Hdr blocks;  // circular list head
  DbllMemCx *parent = nullptr;
  DbllMemCx *children = nullptr;
  DbllMemCx *sib_prev = nullptr, *sib_next = nullptr;
};

DbllMemCx *_cx(MemCx *p) { return reinterpret_cast<DbllMemCx *>(p); }

void _link(DbllMemCx *cx, Hdr *h) {
  h->next = cx->blocks.next;
  h->prev = &cx->blocks;
  cx->blocks.next->prev = h;
  cx->blocks.next = h;
}

void _unlink(Hdr *h) {
  h->prev->next = h->next;
  h->next->prev = h->prev;
}

void *_realloc(MemCx *pmcx, void *p, size_t n) {
  DbllMemCx *cx = _cx(pmcx);
  if (!cx) return nullptr;
  if (!p && n == 0) return nullptr;
  if (!p) {
    if (n > SIZE_MAX - sizeof(Hdr)) return nullptr;
    auto *h = static_cast<Hdr *>(std::calloc(1, sizeof(Hdr) + n));
    if (!h) return nullptr;
    h->size = n;
    std::lock_guard<std::mutex> g(cx->mu);
    _link(cx, h);
    return h + 1;
  }
  Hdr *h = static_cast<Hdr *>(p) - 1;
  if (n == 0) {
    {
      std::lock_guard<std::mutex> g(cx->mu);
      _unlink(h);
    }
    std::free(h);
    return nullptr;
  }
  if (n > SIZE_MAX - sizeof(Hdr)) return nullptr;
  std::lock_guard<std::mutex> g(cx->mu);
  _unlink(h);
  auto *nh = static_cast<Hdr *>(std::realloc(h, sizeof(Hdr) + n));
  if (!nh) {
    _link(cx, h);  // the old block stays valid and owned
    return nullptr;
  }
  if (n > nh->size) std::memset(reinterpret_cast<char *>(nh + 1) + nh->size, 0, n - nh->size);
  nh->size = n;
  _link(cx, nh);
  return nh + 1;
}

// Frees the blocks and children of cx, then cx. The caller has unlinked cx
// from its parent.
void _destroy_tree(DbllMemCx *cx) {
  DbllMemCx *kids;
  {
    std::lock_guard<std::mutex> g(cx->mu);
    kids = cx->children;
    cx->children = nullptr;
  }
  while (kids) {
    DbllMemCx *n = kids->sib_next;
    _destroy_tree(kids);
    kids = n;
  }
  for (Hdr *h = cx->blocks.next; h != &cx->blocks;) {
    Hdr *n = h->next;
    std::free(h);
    h = n;
  }
  delete cx;
}

void _destroy(MemCx *pmcx) {
  DbllMemCx *cx = _cx(pmcx);
  if (!cx) return;
  if (DbllMemCx *parent = cx->parent) {
    std::lock_guard<std::mutex> g(parent->mu);
    if (cx->sib_prev) cx->sib_prev->sib_next = cx->sib_next;
    else parent->children = cx->sib_next;
    if (cx->sib_next) cx->sib_next->sib_prev = cx->sib_prev;
  }
  _destroy_tree(cx);
}

}  // namespace

MemCx *DbllMemCx_New(MemCx *pmcxParent, int) {
  auto *cx = new (std::nothrow) DbllMemCx;
  if (!cx) return nullptr;
  cx->ops.Realloc = _realloc;
  cx->ops.Destroy = _destroy;
  cx->blocks.prev = cx->blocks.next = &cx->blocks;
  if (pmcxParent) {
    // Only our own contexts can be parents: the operations identify them.
    if (pmcxParent->Destroy != _destroy) {
      delete cx;
      return nullptr;
    }
    DbllMemCx *parent = _cx(pmcxParent);
    cx->parent = parent;
    std::lock_guard<std::mutex> g(parent->mu);
    cx->sib_next = parent->children;
    if (parent->children) parent->children->sib_prev = cx;
    parent->children = cx;
  }
  return &cx->ops;
}

char **MemCx_PszArrayAppendStr(MemCx *pmcx, char **papsz, const char *pszText, const char *pszSep) {
  auto alloc = [pmcx](void *p, size_t n) -> void * {
    if (pmcx) return pmcx->Realloc(pmcx, p, n);
    if (n == 0) {
      std::free(p);
      return nullptr;
    }
    return std::realloc(p, n);
  };
  if (!pszText) return papsz;
  size_t seplen = pszSep ? std::strlen(pszSep) : 0;
  size_t have = 0;
  while (papsz && papsz[have]) have++;

  // Count the pieces first so that a failure leaves the array untouched.
  size_t pieces = 0;
  for (const char *s = pszText;;) {
    const char *e = seplen ? std::strstr(s, pszSep) : nullptr;
    size_t len = e ? static_cast<size_t>(e - s) : std::strlen(s);
    if (len) pieces++;
    if (!e) break;
    s = e + seplen;
  }
  if (!pieces) {
    if (papsz) return papsz;
    auto **arr = static_cast<char **>(alloc(nullptr, sizeof(char *)));
    if (arr) arr[0] = nullptr;
    return arr;
  }

  std::vector<char *> copies;
  copies.reserve(pieces);
  for (const char *s = pszText;;) {
    const char *e = seplen ? std::strstr(s, pszSep) : nullptr;
    size_t len = e ? static_cast<size_t>(e - s) : std::strlen(s);
    if (len) {
      auto *c = static_cast<char *>(alloc(nullptr, len + 1));
      if (!c) {
        for (char *x : copies) alloc(x, 0);
        return nullptr;
      }
      std::memcpy(c, s, len);
      c[len] = '\0';
      copies.push_back(c);
    }
    if (!e) break;
    s = e + seplen;
  }
  auto **arr = static_cast<char **>(alloc(papsz, (have + pieces + 1) * sizeof(char *)));
  if (!arr) {
    for (char *x : copies) alloc(x, 0);
    return nullptr;
  }
  for (size_t i = 0; i < pieces; i++) arr[have + i] = copies[i];
  arr[have + pieces] = nullptr;
  return arr;
}

// Resolver requests. A dotted IPv4 name is answered at once; everything
// else runs on a thread of the request's own, joined when the request is
// released, so that nothing of a request outlives ASRes_Delete.
//
// Threads: `mu` guards done and result; the answer fields are written by
// the lookup before done is set and read only after.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "asres_internal.h"

struct ASRes {
  bool byaddr = false;
  std::string query;  // name, or the 4 address bytes
  std::thread th;

  std::mutex mu;
  std::condition_variable cv;
  bool done = false;
  int result = -1;

  void (*notify)(void *) = nullptr;
  void *notify_arg = nullptr;

  // The answer, kept as a hostent over these vectors.
  std::string name;
  std::vector<in_addr_t> addrs;
  std::vector<char *> addr_ptrs;
  char *aliases[1] = {nullptr};
  struct hostent he;
};

namespace {

void _finish(ASRes *r, int result) {
  if (result == 0) {
    r->addr_ptrs.clear();
    for (in_addr_t &a : r->addrs) r->addr_ptrs.push_back(reinterpret_cast<char *>(&a));
    r->addr_ptrs.push_back(nullptr);
    std::memset(&r->he, 0, sizeof r->he);
    r->he.h_name = r->name.data();
    r->he.h_aliases = r->aliases;
    r->he.h_addrtype = AF_INET;
    r->he.h_length = 4;
    r->he.h_addr_list = r->addr_ptrs.data();
  }
  void (*notify)(void *);
  void *arg;
  {
    std::lock_guard<std::mutex> g(r->mu);
    r->result = result;
    r->done = true;
    notify = r->notify;
    arg = r->notify_arg;
  }
  r->cv.notify_all();
  if (notify) notify(arg);
}

// Positive code for a getaddrinfo/getnameinfo failure.
int _eai_code(int eai) { return eai < 0 ? -eai : (eai ? eai : 1); }

int _lookup_name(ASRes *r) {
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  struct addrinfo *res = nullptr;
  int rc = getaddrinfo(r->query.c_str(), nullptr, &hints, &res);
  if (rc != 0) return _eai_code(rc);
  r->name = (res && res->ai_canonname) ? res->ai_canonname : r->query;
  for (struct addrinfo *ai = res; ai; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET) continue;
    in_addr_t a = reinterpret_cast<struct sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
    bool seen = false;
    for (in_addr_t b : r->addrs) seen |= (a == b);
    if (!seen) r->addrs.push_back(a);
  }
  freeaddrinfo(res);
  return r->addrs.empty() ? _eai_code(EAI_NONAME) : 0;
}

int _lookup_addr(ASRes *r) {
  struct sockaddr_in sin;
  std::memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  std::memcpy(&sin.sin_addr, r->query.data(), 4);
  char host[NI_MAXHOST];
  int rc = getnameinfo(reinterpret_cast<struct sockaddr *>(&sin), sizeof sin, host, sizeof host,
                       nullptr, 0, NI_NAMEREQD);
  if (rc != 0) return _eai_code(rc);
  r->name = host;
  r->addrs.push_back(sin.sin_addr.s_addr);
  return 0;
}

void _run(ASRes *r) { _finish(r, r->byaddr ? _lookup_addr(r) : _lookup_name(r)); }

ASRes *_prepare(bool byaddr, std::string query) {
  auto *r = new (std::nothrow) ASRes;
  if (!r) return nullptr;
  r->byaddr = byaddr;
  r->query = std::move(query);
  return r;
}

}  // namespace

namespace plat {

ASRes *asres_prepare_byname(const char *pszName) {
  if (!pszName || !*pszName) return nullptr;
  return _prepare(false, pszName);
}

int asres_start(ASRes *r, void (*done)(void *), void *arg) {
  r->notify = done;
  r->notify_arg = arg;
  struct in_addr a;
  if (!r->byaddr && inet_pton(AF_INET, r->query.c_str(), &a) == 1) {
    r->name = r->query;
    r->addrs.push_back(a.s_addr);
    _finish(r, 0);
    return 0;
  }
  // The lookup reports its end under mu; holding it here makes sure r->th
  // is assigned before anyone told of the end can join and free r.
  std::lock_guard<std::mutex> g(r->mu);
  try {
    r->th = std::thread(_run, r);
  } catch (...) {
    return -1;
  }
  return 0;
}

}  // namespace plat

ASRes *ASRes_GetHostByName(const char *pszName) {
  ASRes *r = plat::asres_prepare_byname(pszName);
  if (r && plat::asres_start(r, nullptr, nullptr) != 0) {
    delete r;
    return nullptr;
  }
  return r;
}

ASRes *ASRes_GetHostByAddr(const void *pAddr) {
  if (!pAddr) return nullptr;
  ASRes *r = _prepare(true, std::string(static_cast<const char *>(pAddr), 4));
  if (r && plat::asres_start(r, nullptr, nullptr) != 0) {
    delete r;
    return nullptr;
  }
  return r;
}

int ASRes_Wait(ASRes *r) {
  if (!r) return -1;
  std::unique_lock<std::mutex> g(r->mu);
  r->cv.wait(g, [r] { return r->done; });
  return 0;
}

int ASRes_GetResult(ASRes *r, ASResAnswer *pansw) {
  if (!r || !pansw) return 1;
  std::lock_guard<std::mutex> g(r->mu);
  if (!r->done) return -1;
  if (r->result != 0) return r->result;
  pansw->host.nTTL = 0;
  pansw->host.phe = &r->he;
  return 0;
}

void ASRes_Delete(ASRes *r) {
  if (!r) return;
  if (r->th.joinable()) r->th.join();
  delete r;
}

// Descriptor mode and host lookups. The lookups block on the platform's
// resolver and copy its answer into the caller's buffer, so the result
// outlives the request (which is always released here).

#include "tovi/networks.h"

#include <fcntl.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstring>

#include "plat/asres.h"

namespace {

constexpr size_t _round8(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

struct hostent *tovi_gethostbyxresult(ASRes *res, char *buf) {
  ASResAnswer answer;
  int r;
  while ((r = ASRes_GetResult(res, &answer)) == -1)
    ASRes_Wait(res);
  if (r != 0 || answer.host.phe == nullptr) {
    ASRes_Delete(res);
    return nullptr;
  }
  const struct hostent *phe = answer.host.phe;
  auto *he = reinterpret_cast<struct hostent *>(buf);
  char *p = buf + _round8(sizeof(struct hostent));

  const char *name = phe->h_name ? phe->h_name : "";
  size_t namelen = strlen(name) + 1;
  memcpy(p, name, namelen);
  he->h_name = p;
  p += _round8(namelen);

  // Aliases are not kept: the list is always empty.
  he->h_aliases = reinterpret_cast<char **>(p);
  he->h_aliases[0] = nullptr;
  p += 8;

  int naddr = 0;
  while (phe->h_addr_list && phe->h_addr_list[naddr])
    ++naddr;
  he->h_addr_list = reinterpret_cast<char **>(p);
  p += 8 * (static_cast<size_t>(naddr) + 1);
  for (int i = 0; i < naddr; ++i) {
    memcpy(p, phe->h_addr_list[i], 4);
    he->h_addr_list[i] = p;
    p += 4;
  }
  he->h_addr_list[naddr] = nullptr;
  he->h_addrtype = phe->h_addrtype;
  he->h_length = phe->h_length;
  ASRes_Delete(res);
  return he;
}

}  // namespace

extern "C" {

int nonblock(int fd, int mode) {
  int flags = fcntl(fd, F_GETFL);
  if (flags == -1)
    return -1;
  constexpr int kBits = O_NONBLOCK | O_NDELAY;
  if (mode) {
    if (flags & kBits)
      return 0;
    flags |= kBits;
  } else {
    if (!(flags & kBits))
      return 0;
    flags &= ~kBits;
  }
  return fcntl(fd, F_SETFL, flags);
}

struct hostent *tovi_gethostbyname(const char *name, char *buf) {
  ASRes *res = ASRes_GetHostByName(name);
  if (res == nullptr)
    return nullptr;
  return tovi_gethostbyxresult(res, buf);
}

struct hostent *tovi_gethostbyaddr(const char *addr, int len, int type, char *buf) {
  if (len < 4 || type != AF_INET)
    return nullptr;
  ASRes *res = ASRes_GetHostByAddr(addr);
  if (res == nullptr)
    return nullptr;
  return tovi_gethostbyxresult(res, buf);
}

}  // extern "C"

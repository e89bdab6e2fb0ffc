// SSL family of the socket layer. Until the NSS-based layer is built in,
// every set-up call fails cleanly, so a program configured for SSL stops
// with its own "cannot initialise" path instead of failing to link or
// serving plain text where SSL was asked for.
#include "asock_internal.h"

int ASockSSL_Init(const char *, const char *, const char *, const char *, const char *, char **,
                  const char *, ASockSSLWarnFn fnWarn, int) {
  if (fnWarn) fnWarn(0, "SSL support is not built into this platform library");
  return 0;
}

int ASockSSL_Enable(ASock *, int) { return 0; }

int ASockSSL_SetBadCertHook(ASock *, ASockSSLBadCertFn, void *) { return -1; }

int ASockSSL_SetHandshakeHook(ASock *, GDispFn, void *) { return -1; }

void ASockSSL_Cleanup(void) {}

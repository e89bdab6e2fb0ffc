/* Export and linkage macros of the platform library's public headers. */
#ifndef PLAT_EXPORT_H
#define PLAT_EXPORT_H

#define PLAT_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define PLAT_BEGIN_DECLS extern "C" {
#define PLAT_END_DECLS }
#else
#define PLAT_BEGIN_DECLS
#define PLAT_END_DECLS
#endif

#endif

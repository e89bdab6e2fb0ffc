/* Export and linkage macros of libtovi's public headers. */
#ifndef TOVI_EXPORT_H
#define TOVI_EXPORT_H

#define TOVI_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define TOVI_BEGIN_DECLS extern "C" {
#define TOVI_END_DECLS }
#else
#define TOVI_BEGIN_DECLS
#define TOVI_END_DECLS
#endif

#endif

/*
 * Bounded string copy of the runtime-support layer (libtvort).
 */
#ifndef TVO_TVO_STRING_H
#define TVO_TVO_STRING_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copies the NUL-terminated `src` into `dst`, whose full size is `capacity`
 * bytes, cutting it to capacity - 1 characters; `dst` is always
 * NUL-terminated when capacity > 0. A null `src` copies the empty string. A
 * null `dst` or a capacity of 0 writes nothing. Returns `dst`. `src` and
 * `dst` must not overlap. Thread-safe. */
char* tvostrcpy(char* dst, const char* src, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif /* TVO_TVO_STRING_H */

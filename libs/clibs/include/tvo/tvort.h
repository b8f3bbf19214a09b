/* The whole runtime-support layer (libtvort): assertions, bounded copy and
 * interruption-safe I/O. */
#ifndef TVO_TVORT_H
#define TVO_TVORT_H

#include <tvo/safe_io.h>
#include <tvo/tvo_assert.h>
#include <tvo/tvo_string.h>

#endif /* TVO_TVORT_H */

// libzrshared: infrastructure classes of the storage engine's SDK.
//
// This umbrella header includes every public header of the library. Units
// can also be included one by one, e.g. "zr_dlist.h".
#ifndef ZRSHARED_H
#define ZRSHARED_H

#include <tvo/revision.h>
#include <tvo/tvort.h>

#include "Zr_ErrnoException.h"
#include "zr_dlist.h"
#include "zr_reactor.h"
#include "zr_thread.h"
#include "zrshared_version.h"

// The library's version ("MAJOR.MINOR.PATCH") as built; compare with
// ZRSHARED_VERSION_STRING to detect a header/library mismatch.
extern "C" const char* zrshared_version(void);

#endif  // ZRSHARED_H

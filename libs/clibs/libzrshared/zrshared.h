// libzrshared: infrastructure classes of the storage engine's SDK.
//
// This umbrella header includes every public header of the library. Units
// can also be included one by one, e.g. "zr_dlist.h".
#ifndef ZRSHARED_H
#define ZRSHARED_H

#include <tvo/revision.h>
#include <tvo/tvort.h>

#include "Zr_Adler32.h"
#include "Zr_BitArray.h"
#include "Zr_BitInterval.h"
#include "Zr_BitPointer.h"
#include "Zr_BitSize.h"
#include "Zr_BufferedFileDescriptor.h"
#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"
#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"
#include "Zr_LockOrderManager.h"
#include "Zr_StreamFileDescriptor.h"
#include "Zr_Utils.h"
#include "zr_bufferpool.h"
#include "zr_dlist.h"
#include "zr_reactor.h"
#include "zr_thread.h"
#include "zrshared_version.h"

// The library's version ("MAJOR.MINOR.PATCH") as built; compare with
// ZRSHARED_VERSION_STRING to detect a header/library mismatch.
extern "C" const char* zrshared_version(void);

#endif  // ZRSHARED_H

// Zr_CRCReadStream: reads data written by Zr_CRCWriteStream back through a
// Zr_FileDescriptor and verifies it block by block.
//
// The format is Zr_CRCWriteStream's (see Zr_CRCWriteStream.h): each segment
// is its data followed by floor(D / B) + 1 little-endian Adler-32 values.
// The reader must use the writer's block size B and read exactly the data
// the writer wrote before each WriteCRCs, in any split among ReadBuf calls,
// then call CheckCRCs.
//
//   Zr_CRCReadStream in(&fd, 65536);
//   in.ReadBuf(header, header_len);
//   in.ReadBuf(body, body_len);
//   in.CheckCRCs();   // throws EILSEQ at the first damaged block
//
// The stream never opens, seeks or closes the descriptor; the caller keeps it
// alive and positioned. Failures are thrown as Zr_ErrnoException. Threads:
// none; an object is used by one thread at a time and takes no locks.
// The streams set no errno of their own: an error number thrown with the
// descriptor's errno is the one its Read or Write left. Running out of memory
// for the queued checksums throws std::bad_alloc; the checksum bookkeeping
// then still describes the bytes folded before it.
#ifndef ZR_CRCREADSTREAM_H
#define ZR_CRCREADSTREAM_H

#include <stdint.h>
#include <tvo/revision.h>

#include <deque>

#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"

class Zr_CRCReadStream {
 public:
  // A stream reading from `stream` (not owned) with `block_size` data bytes
  // per checksum. Reads nothing. Throws Zr_ErrnoException with EINVAL for a
  // null stream or a block size of 0.
  Zr_CRCReadStream(Zr_FileDescriptor* stream, unsigned long block_size);

  // Releases the queued checksums; reads nothing, leaves the descriptor.
  ~Zr_CRCReadStream();

  // The descriptor read from.
  Zr_FileDescriptor* GetStream();

  // Data bytes read through ReadBuf so far; checksum bytes are not counted.
  unsigned long GetDataRead();

  // Reads exactly `len` data bytes into `buf` with one Read call of the
  // descriptor and folds them into the segment's checksums. Throws
  // Zr_ErrnoException with errno and "IO problem reading data from stream
  // into buffer." when Read fails, or ENODATA and "Failed to read all data
  // from stream into buffer." when it delivers fewer bytes; then nothing is
  // counted or folded (the bytes delivered are in `buf`, consumed). Throws
  // EINVAL (after an assertion report) while a failed CheckCRCs is pending.
  void ReadBuf(unsigned char* buf, unsigned long len);

  // Ends the segment: reads its stored checksums, 4 bytes per Read call, and
  // compares them in block order with the ones computed; then starts a new
  // segment. Throws Zr_ErrnoException at the first problem:
  //  - errno and "IO problem reading value from stream into buffer." when
  //    Read fails;
  //  - ENODATA and "Failed to read all data for value from stream into
  //    buffer." when it delivers fewer than 4 bytes;
  //  - EILSEQ and "Failed to read CRC value" when a stored checksum differs.
  // The checksums compared before stay consumed; the failing one and those
  // after it stay queued, so a retry (after, say, EINTR) goes on from there
  // without queuing the final block's checksum twice.
  void CheckCRCs();

  // Internal: folds data[0, len) into the block checksums without reading.
  // Exposed for symmetry with the writer; callers use ReadBuf.
  void updateCRC(const unsigned char* data, unsigned long len);

 private:
  Zr_FileDescriptor* m_stream;  // read from; not owned
  unsigned long m_block_size;   // data bytes per checksum, never 0
  unsigned long m_block_left;   // bytes missing from the current block; 0
                                // while a failed CheckCRCs is pending
  uint32_t m_crc;               // running Adler-32 of the current block
  unsigned long m_data_read;    // data bytes read; checksums not counted
  std::deque<uint32_t> m_crcs;  // completed blocks' checksums, oldest first
};

#endif  // ZR_CRCREADSTREAM_H

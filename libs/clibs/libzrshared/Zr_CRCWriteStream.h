// Zr_CRCWriteStream: writes data through a Zr_FileDescriptor and appends one
// Adler-32 checksum (RFC 1950) per block of that data, so a reader
// (Zr_CRCReadStream) can tell exactly which block was damaged.
//
// On-stream format. A stream is a sequence of segments with nothing between
// them and no header. With B the block size and D the data bytes passed to
// WriteBuf since construction or the previous WriteCRCs, a segment is
//
//   D data bytes, unchanged
//   floor(D / B) + 1 checksums, 4 bytes each, little-endian
//
// Checksum i covers data bytes [i * B, min((i + 1) * B, D)) of the segment,
// starting from the Adler-32 initial value 1, so the always-present final
// block is D mod B bytes long and its checksum is 1 (01 00 00 00) when it is
// empty. Blocks restart at every segment. Writer and reader must agree on B
// and on D: nothing on the stream records them.
//
//   Zr_CRCWriteStream out(&fd, 65536);
//   out.WriteBuf(header, header_len);   // any number of calls ...
//   out.WriteBuf(body, body_len);
//   out.WriteCRCs();                    // ... then end the segment
//
// The stream never opens, seeks, flushes, syncs or closes the descriptor:
// the caller opens and positions it, keeps it alive for the stream's whole
// life, and closes it afterwards. The checksums of a segment wait in memory
// (4 bytes per block) until WriteCRCs.
//
// Failures are thrown as Zr_ErrnoException. Threads: none; an object is used
// by one thread at a time and takes no locks.
// The streams set no errno of their own: an error number thrown with the
// descriptor's errno is the one its Read or Write left. Running out of memory
// for the queued checksums throws std::bad_alloc; the checksum bookkeeping
// then still describes the bytes folded before it.
#ifndef ZR_CRCWRITESTREAM_H
#define ZR_CRCWRITESTREAM_H

#include <stdint.h>
#include <tvo/revision.h>

#include <deque>

#include "Zr_ErrnoException.h"
#include "Zr_FileDescriptor.h"

class Zr_CRCWriteStream {
 public:
  // A stream writing to `stream` (not owned) with `block_size` data bytes
  // per checksum. Writes nothing. Throws Zr_ErrnoException with EINVAL for a
  // null stream or a block size of 0.
  Zr_CRCWriteStream(Zr_FileDescriptor* stream, unsigned long block_size);

  // Releases the queued checksums without writing them: a segment not ended
  // by WriteCRCs stays on the descriptor without its checksums. Leaves the
  // descriptor alone.
  ~Zr_CRCWriteStream();

  // The descriptor written to.
  Zr_FileDescriptor* GetStream();

  // Bytes written through this object so far, data and checksums alike.
  unsigned long GetDataWritten();

  // Writes data[0, len) with one Write call of the descriptor and folds it
  // into the segment's checksums. Throws Zr_ErrnoException:
  //  - errno and "Failed to write to stream from buffer" when Write fails
  //    (returns -1); nothing is counted or folded;
  //  - EIO and the same message when Write reports fewer bytes than `len`;
  //    the bytes it reports are counted and folded, so writing the rest of
  //    the buffer afterwards completes the segment correctly.
  //  - EINVAL (after an assertion report) while a failed WriteCRCs is not
  //    yet completed: data there would land among the checksums.
  // A `len` of 0 still calls Write and changes no checksum.
  void WriteBuf(const unsigned char* data, unsigned long len);

  // Ends the segment: writes the checksums of its complete blocks and of the
  // final partial block, 4 bytes per Write call, and starts a new segment.
  // Throws Zr_ErrnoException with errno and "Failed to write a value" when a
  // Write fails, or with EIO and that message when it writes fewer than 4
  // bytes. The checksums written before the failure are counted and gone;
  // the failing one and those after it stay queued, and calling WriteCRCs
  // again writes exactly those (the final block's checksum is not queued a
  // second time).
  void WriteCRCs();

  // Internal: folds data[0, len) into the block checksums without writing
  // anything. Exposed for symmetry with the reader; callers use WriteBuf.
  void updateCRC(const unsigned char* data, unsigned long len);

 private:
  Zr_FileDescriptor* m_stream;   // written to; not owned
  unsigned long m_block_size;    // data bytes per checksum, never 0
  unsigned long m_block_left;    // bytes missing from the current block; 0
                                 // while the segment's final checksum is
                                 // queued by a WriteCRCs that failed
  uint32_t m_crc;                // running Adler-32 of the current block
  unsigned long m_data_written;  // data and checksum bytes written
  std::deque<uint32_t> m_crcs;   // completed blocks' checksums, oldest first
};

#endif  // ZR_CRCWRITESTREAM_H

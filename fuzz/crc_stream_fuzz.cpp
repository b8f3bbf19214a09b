// Feeds arbitrary bytes, block sizes and read splits to the checksummed read
// stream. It may only fail with the documented exceptions (missing data or a
// checksum mismatch), and a stream the writer produced from the same data
// must read back cleanly, and fail with a mismatch once a byte is flipped.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"

namespace {

class MemoryFd : public Zr_FileDescriptor {
 public:
  std::string data;
  size_t pos = 0;
  bool IsOpen() override { return true; }
  int64_t Write(void const* buffer, unsigned long count) override {
    data.append(static_cast<const char*>(buffer), count);
    return count;
  }
  int64_t Read(void* buffer, unsigned long count) override {
    size_t n = std::min<size_t>(count, data.size() - pos);
    memcpy(buffer, data.data() + pos, n);
    pos += n;
    return n;
  }
};

bool Is(const Zr_ErrnoException& e, int err, const char* message) {
  char text[128];
  return e.GetErrno() == err && strcmp(e.GetString(text, sizeof text), message) == 0;
}

// Reads `data_len` bytes in pieces taken from `splits`, then checks.
void ReadSegment(Zr_CRCReadStream& in, size_t data_len, const uint8_t* splits, size_t nsplits) {
  std::string buf(data_len, '\0');
  size_t at = 0;
  for (size_t i = 0; at < data_len; ++i) {
    size_t n = nsplits == 0 ? data_len : 1 + splits[i % nsplits] * 7 % (data_len - at);
    n = std::min(n, data_len - at);
    in.ReadBuf(reinterpret_cast<unsigned char*>(&buf[at]), n);
    at += n;
  }
  in.CheckCRCs();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const unsigned long block = 1 + (static_cast<unsigned long>(data[0]) << 8 | data[1]) % 600;
  const size_t data_len = static_cast<size_t>(data[2]) << 8 | data[3];
  const size_t nsplits = data[4] % 8;
  const size_t flip = data[5];
  data += 6;
  size -= 6;
  if (size < nsplits) return 0;
  const uint8_t* splits = data;
  data += nsplits;
  size -= nsplits;

  // Arbitrary bytes as a stream.
  MemoryFd raw;
  raw.data.assign(reinterpret_cast<const char*>(data), size);
  Zr_CRCReadStream any(&raw, block);
  try {
    ReadSegment(any, data_len, splits, nsplits);
  } catch (const Zr_ErrnoException& e) {
    if (!Is(e, ENODATA, "Failed to read all data from stream into buffer.") &&
        !Is(e, ENODATA, "Failed to read all data for value from stream into buffer.") &&
        !Is(e, EILSEQ, "Failed to read CRC value")) {
      abort();
    }
  }

  // The same bytes as data, written and read back.
  MemoryFd fd;
  Zr_CRCWriteStream out(&fd, block);
  out.WriteBuf(data, size);
  out.WriteCRCs();
  if (out.GetDataWritten() != size + 4 * (size / block + 1) ||
      fd.data.size() != out.GetDataWritten())
    abort();
  Zr_CRCReadStream back(&fd, block);
  ReadSegment(back, size, splits, nsplits);
  if (back.GetDataRead() != size || fd.pos != fd.data.size()) abort();

  // One flipped bit anywhere is a mismatch, never anything else.
  fd.data[flip * 131 % fd.data.size()] ^= static_cast<char>(1 << (flip % 8));
  fd.pos = 0;
  Zr_CRCReadStream damaged(&fd, block);
  try {
    ReadSegment(damaged, size, splits, nsplits);
    abort();
  } catch (const Zr_ErrnoException& e) {
    if (!Is(e, EILSEQ, "Failed to read CRC value")) abort();
  }
  return 0;
}

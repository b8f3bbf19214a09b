// Differential fuzzer: the input is a sequence of writes, reads, seeks,
// truncations and flushes, applied through Zr_BufferedFileDescriptor and a
// plain Zr_FileDescriptor on two scratch files. Every call must return the
// same, reads must deliver the same bytes, and the files must end equal.
//
// Input: byte 0 picks the buffer size, byte 1 bit 0 asks for O_APPEND; then
// three bytes per operation: the operation and a 16-bit argument.
#include "Zr_BufferedFileDescriptor.h"
#include "Zr_FileDescriptor.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::string ScratchPath(const char* which) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/zr_fuzz_bfd." + std::to_string(getpid()) + "." + which;
}

const std::string kBufferedPath = ScratchPath("b");
const std::string kPlainPath = ScratchPath("p");
const int kCleanup = atexit([] {
  unlink(kBufferedPath.c_str());
  unlink(kPlainPath.c_str());
});

void Require(bool ok) {
  if (!ok) abort();
}

std::string Contents(const std::string& path) {
  Zr_FileDescriptor fd;
  Require(fd.Open(path.c_str(), O_RDONLY) >= 0);
  std::string all(1 << 20, '\0');
  const int64_t n = fd.Read(&all[0], all.size());
  Require(n >= 0);
  all.resize(static_cast<size_t>(n));
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const unsigned long kSizes[] = {1, 2, 3, 7, 16, 64, 512, 4096};
  const unsigned long buf_size = kSizes[data[0] % 8];
  const int flags = O_RDWR | O_CREAT | O_TRUNC | ((data[1] & 1) != 0 ? O_APPEND : 0);

  Zr_BufferedFileDescriptor buffered(buf_size);
  Zr_FileDescriptor plain;
  Require(buffered.Open(kBufferedPath.c_str(), flags, 0600) >= 0);
  Require(plain.Open(kPlainPath.c_str(), flags, 0600) >= 0);

  std::vector<char> a, b;
  for (size_t at = 2, op = 0; at + 3 <= size && op < 256; at += 3, ++op) {
    const unsigned arg = data[at + 1] | (data[at + 2] << 8);
    const unsigned long n = arg % 2048;
    switch (data[at] % 5) {
      case 0: {
        a.assign(n, static_cast<char>(op));
        Require(buffered.Write(a.data(), n) == plain.Write(a.data(), n));
        break;
      }
      case 1: {
        a.assign(n, 0);
        b.assign(n, 1);
        const int64_t r = plain.Read(b.data(), n);
        Require(buffered.Read(a.data(), n) == r);
        Require(r <= 0 || memcmp(a.data(), b.data(), static_cast<size_t>(r)) == 0);
        break;
      }
      case 2: {
        const int whence = static_cast<int>(arg % 3);
        const long offset = static_cast<long>(arg >> 2) - (whence == SEEK_SET ? 64 : 8192);
        Require(buffered.Seek(offset, whence) == plain.Seek(offset, whence));
        break;
      }
      case 3:
        Require(buffered.Truncate(static_cast<long>(arg)) ==
                plain.Truncate(static_cast<long>(arg)));
        break;
      default:
        Require(buffered.Flush() == 0);
        break;
    }
  }
  Require(buffered.Close() == 0);
  Require(plain.Close() == 0);
  Require(Contents(kBufferedPath) == Contents(kPlainPath));
  return 0;
}

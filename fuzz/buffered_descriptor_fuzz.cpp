// Differential fuzzer: the input is a sequence of writes, reads, seeks,
// truncations, flushes, stats, unbuffered transfers, flag changes and
// reopenings, applied through Zr_BufferedFileDescriptor and a plain
// Zr_FileDescriptor, each on its own in-memory file. Every call must give
// the same result and errno as on the plain descriptor, reads must deliver
// the same bytes, and the files must end equal.
//
// Input: byte 0 picks the buffer size, byte 1 bit 0 asks for O_APPEND; then
// three bytes per operation: the operation and a 16-bit little-endian
// argument (a transfer's size is taken modulo 4 buffer sizes + 64, at most
// 8192).
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "Zr_BufferedFileDescriptor.h"
#include "Zr_FileDescriptor.h"
#include "fuzz_support.h"

namespace {

using zr_fuzz::Check;

// An in-memory file, made once. Each run opens it again by its /proc path,
// which gives a new open file description with that run's flags, as opening
// a file on disk would, without the disk.
struct MemFile {
  const int fd;
  const std::string path;
  explicit MemFile(const char* name)
      : fd(memfd_create(name, 0)), path("/proc/self/fd/" + std::to_string(fd)) {
    Check(fd >= 0);
  }
  std::string Contents() const {
    struct stat st;
    Check(fstat(fd, &st) == 0);
    std::string all(static_cast<size_t>(st.st_size), '\0');
    Check(pread(fd, &all[0], all.size(), 0) == st.st_size);
    return all;
  }
};
const MemFile kBufferedFile("zr_fuzz_buffered"), kPlainFile("zr_fuzz_plain");

// A call's result with the errno it left when it failed.
std::pair<int64_t, int> Outcome(int64_t result) { return {result, result == -1 ? errno : 0}; }

ZR_FUZZ_UNTRACED void Fill(std::vector<char>& v, size_t n, unsigned seed) {
  v.resize(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<char>(seed * 31 + i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zr_fuzz::Input in{data, size};
  static const unsigned long kSizes[] = {1,  2,  3,  4,   7,   8,    15,   16,
                                         17, 31, 64, 100, 512, 1000, 4096, 65536};
  const unsigned long buffer_size = kSizes[in.Take(1) % 16];
  Zr_BufferedFileDescriptor buffered(buffer_size);
  Zr_FileDescriptor plain;
  const int append = (in.Take(1) & 1) != 0 ? O_APPEND : 0;
  Check(buffered.Open(kBufferedFile.path.c_str(), O_RDWR | O_TRUNC | append) >= 0);
  Check(plain.Open(kPlainFile.path.c_str(), O_RDWR | O_TRUNC | append) >= 0);

  std::vector<char> a, b;
  for (unsigned op = 0; in.n > 0 && op < 256; ++op) {
    const unsigned code = in.Take(1), arg = in.Take(2);
    // Transfers up to a few buffers long: longer ones only repeat the same
    // path, one system call per buffer.
    const unsigned long n = arg % std::min(4 * buffer_size + 64, 8192ul);
    std::pair<int64_t, int> want;
    switch (code % 10) {
      case 0:
        Fill(a, n, op);
        want = Outcome(plain.Write(a.data(), n));
        Check(Outcome(buffered.Write(a.data(), n)) == want);
        break;
      case 1:
      case 2: {
        // Plain or unbuffered reads: same count, same bytes.
        Fill(a, n, 0);
        Fill(b, n, 1);
        want = Outcome(plain.Read(b.data(), n));
        Check(Outcome(code % 10 == 1 ? buffered.Read(a.data(), n)
                                     : buffered.UnbufferedRead(a.data(), n)) == want);
        Check(want.first <= 0 || memcmp(a.data(), b.data(), static_cast<size_t>(want.first)) == 0);
        break;
      }
      case 3: {
        const int whence = static_cast<int>(arg % 3);
        const long offset = static_cast<long>(arg >> 2) - (whence == SEEK_SET ? 64 : 8192);
        want = Outcome(plain.Seek(offset, whence));
        Check(Outcome(buffered.Seek(offset, whence)) == want);
        break;
      }
      case 4:
        want = Outcome(plain.Truncate(static_cast<long>(arg)));
        Check(Outcome(buffered.Truncate(static_cast<long>(arg))) == want);
        break;
      case 5:
        Check(buffered.Flush() == 0 && !buffered.IsDirty());
        break;
      case 6: {
        // The size seen includes every byte written so far.
        struct stat sb, sp;
        want = Outcome(plain.Stat(&sp));
        Check(Outcome(buffered.Stat(&sb)) == want && sb.st_size == sp.st_size);
        break;
      }
      case 7:
        Fill(a, n, op);
        want = Outcome(plain.Write(a.data(), n));
        Check(Outcome(buffered.UnbufferedWrite(a.data(), n)) == want);
        break;
      case 8: {
        // O_DIRECT turns buffering off (memfd accepts it or refuses it for
        // both alike); O_APPEND moves every write to the end.
        const int flags = ((arg & 1) != 0 ? O_APPEND : 0) | ((arg & 2) != 0 ? O_DIRECT : 0);
        want = Outcome(plain.SetFlags(flags));
        Check(Outcome(buffered.SetFlags(flags)) == want);
        want = Outcome(plain.GetFlags());
        Check(Outcome(buffered.GetFlags()) == want);
        break;
      }
      default: {
        // Close writes what is pending; reopening starts at offset 0 again.
        want = Outcome(plain.Close());
        Check(Outcome(buffered.Close()) == want);
        const int flags = O_RDWR | ((arg & 1) != 0 ? O_APPEND : 0);
        Check(buffered.Open(kBufferedFile.path.c_str(), flags) >= 0);
        Check(plain.Open(kPlainFile.path.c_str(), flags) >= 0);
        break;
      }
    }
  }
  Check(buffered.Close() == 0 && plain.Close() == 0);
  Check(kBufferedFile.Contents() == kPlainFile.Contents());
  return 0;
}

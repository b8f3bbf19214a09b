// zr-crc: seals a file as one checksummed segment, or verifies a sealed one.
//
//   zr-crc seal -b SIZE IN OUT    write IN's bytes to OUT, then one Adler-32
//                                 per SIZE-byte block
//   zr-crc verify -b SIZE FILE    check FILE; exit 0 when intact, 1 when
//                                 damaged (naming the first damaged block)
//
// SIZE is a byte count, optionally with a K or M suffix (KiB, MiB). Bad
// arguments print the usage line and exit 2. On a terminal, long runs show
// their progress on stderr.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "zrshared.h"

namespace {

const char kUsage[] = "usage: zr-crc seal -b SIZE IN OUT | zr-crc verify -b SIZE FILE\n";
const unsigned long kChunk = 1 << 20;  // bytes per ReadBuf/WriteBuf call
const unsigned long kIoBuffer = 1 << 20;

int Usage() {
  fputs(kUsage, stderr);
  return 2;
}

// Parses "4096", "64K", "1M"; 0 when the text is not a positive size.
unsigned long ParseSize(const char* text) {
  char* end = NULL;
  errno = 0;
  unsigned long long n = strtoull(text, &end, 10);
  if (errno != 0 || end == text || text[0] == '-') return 0;
  unsigned long long scale = 1;
  if (*end == 'K' || *end == 'k') {
    scale = 1024, ++end;
  } else if (*end == 'M' || *end == 'm') {
    scale = 1024 * 1024, ++end;
  }
  if (*end != '\0' || n > (1ull << 40) / scale) return 0;
  return static_cast<unsigned long>(n * scale);
}

// Shows "verb done/total MiB" on stderr at most twice a second, and only
// when stderr is a terminal.
class Progress {
 public:
  Progress(const char* verb, uint64_t total)
      : m_verb(verb), m_total(total), m_tty(isatty(STDERR_FILENO)), m_last(Now()) {}
  ~Progress() { Clear(); }
  // Removes the progress line, so results print on a clean line.
  void Clear() {
    if (m_shown) fputs("\r\033[K", stderr);
    m_shown = false;
  }
  void Update(uint64_t done) {
    if (!m_tty || Now() - m_last < 0.5) return;
    m_last = Now();
    m_shown = true;
    fprintf(stderr, "\rzr-crc: %s %llu of %llu MiB", m_verb, (unsigned long long)(done >> 20),
            (unsigned long long)(m_total >> 20));
  }

 private:
  static double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
  }
  const char* m_verb;
  uint64_t m_total;
  bool m_tty;
  bool m_shown = false;
  double m_last;
};

std::string Describe(const Zr_ErrnoException& e) {
  char text[128];
  e.GetString(text, sizeof text);
  char sys[128];
  return std::string(text) + " (" + strerror_r(e.GetErrno(), sys, sizeof sys) + ")";
}

int Seal(unsigned long block, const char* in_path, const char* out_path) {
  Zr_FileDescriptor in;
  if (in.Open(in_path, O_RDONLY) < 0) {
    fprintf(stderr, "zr-crc: %s: %s\n", in_path, strerror(errno));
    return 1;
  }
  struct stat st, out_st;
  const bool have_st = in.Stat(&st) == 0;
  const uint64_t total = have_st ? static_cast<uint64_t>(st.st_size) : 0;
  // Opening OUT truncates it: sealing a file onto itself would destroy it.
  if (have_st && stat(out_path, &out_st) == 0 && out_st.st_dev == st.st_dev &&
      out_st.st_ino == st.st_ino) {
    fprintf(stderr, "zr-crc: %s and %s are the same file\n", in_path, out_path);
    return 2;
  }
  Zr_BufferedFileDescriptor out(kIoBuffer);
  if (out.Open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644) < 0) {
    fprintf(stderr, "zr-crc: %s: %s\n", out_path, strerror(errno));
    return 1;
  }
  std::vector<unsigned char> buf(kChunk);
  try {
    Zr_CRCWriteStream crc(&out, block);
    Progress progress("sealed", total);
    uint64_t data = 0;
    for (;;) {
      int64_t n = in.Read(buf.data(), buf.size());
      if (n < 0) {
        fprintf(stderr, "zr-crc: %s: %s\n", in_path, strerror(errno));
        return 1;
      }
      if (n == 0) break;
      crc.WriteBuf(buf.data(), n);
      data += n;
      progress.Update(data);
    }
    crc.WriteCRCs();
    progress.Clear();
    if (out.Close() != 0) {
      fprintf(stderr, "zr-crc: %s: %s\n", out_path, strerror(errno));
      return 1;
    }
    printf("%s: sealed %llu data bytes in %llu blocks of %lu (%lu bytes)\n", out_path,
           (unsigned long long)data, (unsigned long long)(data / block + 1), block,
           crc.GetDataWritten());
  } catch (const Zr_ErrnoException& e) {
    fprintf(stderr, "zr-crc: %s: %s\n", out_path, Describe(e).c_str());
    return 1;
  }
  return 0;
}

int Verify(unsigned long block, const char* path) {
  Zr_BufferedFileDescriptor fd(kIoBuffer);
  struct stat st;
  if (fd.Open(path, O_RDONLY) < 0 || fd.Stat(&st) != 0) {
    fprintf(stderr, "zr-crc: %s: %s\n", path, strerror(errno));
    return 1;
  }
  // A segment of D data bytes takes D + 4 (D / B + 1) bytes: with
  // D = k B + r (r < B), size - 4 = k (B + 4) + r.
  const uint64_t size = st.st_size;
  const uint64_t k = size < 4 ? 0 : (size - 4) / (block + 4);
  const uint64_t r = size < 4 ? 0 : (size - 4) % (block + 4);
  if (size < 4 || r >= block) {
    printf(
        "%s: DAMAGED: %llu bytes cannot be data with checksums of %lu-byte blocks "
        "(truncated, extended or a different block size)\n",
        path, (unsigned long long)size, block);
    return 1;
  }
  const uint64_t data = k * block + r;
  std::vector<unsigned char> buf(kChunk);
  Zr_CRCReadStream crc(&fd, block);
  try {
    Progress progress("verified", data);
    for (uint64_t at = 0; at < data;) {
      unsigned long n = static_cast<unsigned long>(std::min<uint64_t>(kChunk, data - at));
      crc.ReadBuf(buf.data(), n);
      at += n;
      progress.Update(at);
    }
    progress.Clear();
    crc.CheckCRCs();
  } catch (const Zr_ErrnoException& e) {
    if (e.GetErrno() != EILSEQ) {
      printf("%s: DAMAGED: %s\n", path, Describe(e).c_str());
      return 1;
    }
    // The failing checksum was the last one read: its index follows from
    // how far into the checksums the descriptor got.
    int64_t pos = fd.Seek(0, SEEK_CUR);
    if (pos < 0 || static_cast<uint64_t>(pos) < data + 4) {
      printf("%s: DAMAGED: a block does not match its checksum\n", path);
      return 1;
    }
    uint64_t index = (pos - data) / 4 - 1;
    uint64_t first = index * block;
    uint64_t end = std::min<uint64_t>(first + block, data);
    printf(
        "%s: DAMAGED: block %llu (data bytes %llu to %llu) or its checksum at byte %llu "
        "does not match\n",
        path, (unsigned long long)index, (unsigned long long)first,
        (unsigned long long)(end == first ? first : end - 1), (unsigned long long)(pos - 4));
    return 1;
  }
  printf("%s: OK (%llu data bytes, %llu checksums of %lu-byte blocks)\n", path,
         (unsigned long long)data, (unsigned long long)(k + 1), block);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || strcmp(argv[2], "-b") != 0) return Usage();
  const unsigned long block = ParseSize(argv[3]);
  if (block == 0) return Usage();
  if (strcmp(argv[1], "seal") == 0 && argc == 6) return Seal(block, argv[4], argv[5]);
  if (strcmp(argv[1], "verify") == 0 && argc == 5) return Verify(block, argv[4]);
  return Usage();
}

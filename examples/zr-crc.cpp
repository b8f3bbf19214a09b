// zr-crc: seals a file as one checksummed segment, or verifies a sealed one.
// See zr-crc --help (or zr-crc(1)) for the command line and exit status.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "zrshared.h"

namespace {

enum { kIntact = 0, kDamaged = 1, kTrouble = 2 };

const char kHelp[] =
    "Usage: zr-crc seal [-q] -b SIZE IN OUT\n"
    "  or:  zr-crc verify [-q] -b SIZE FILE...\n"
    "Seal IN into OUT as one checksummed segment: IN's bytes unchanged, then one\n"
    "little-endian Adler-32 per SIZE-byte block of them (the last block may be\n"
    "empty). Verify that each FILE so sealed is intact.\n"
    "\n"
    "  -b, --block-size=SIZE  data bytes per checksum: digits, then optionally K,\n"
    "                         M or G for KiB, MiB or GiB; from 1 to 1024G. Verify\n"
    "                         needs the size the file was sealed with.\n"
    "  -q, --quiet            no progress and no messages: the exit status only\n"
    "      --help             display this help and exit\n"
    "      --version          output version information and exit\n"
    "\n"
    "IN, OUT and FILE may be - for standard input or output. seal writes a\n"
    "temporary file beside OUT, syncs it and renames it over OUT only when all\n"
    "went well, so a failure leaves OUT as it was; standard output and devices\n"
    "are written directly. verify works out the data length from the file's\n"
    "length, so it first copies a pipe to a temporary file in $TMPDIR (or /tmp).\n"
    "A damaged file is reported with the first block that does not match its\n"
    "checksum; a file whose length or checksums fit no sealed file of SIZE-byte\n"
    "blocks is reported as truncated, extended or sealed with another SIZE.\n"
    "On a terminal, progress is shown on standard error.\n"
    "\n"
    "Exit status: 0 if every FILE is intact (or IN was sealed), 1 if a FILE is\n"
    "damaged, 2 if trouble: bad usage, a file that cannot be opened, read or\n"
    "written, a directory.\n"
    "\n"
    "Example:\n"
    "  tar c dir | zr-crc seal -b 64K - dir.tar.crc\n"
    "  zr-crc verify -b 64K dir.tar.crc && echo intact\n";

const unsigned long kChunk = 1 << 20;  // bytes per read, write and buffer
const uint64_t kMaxBlock = 1ull << 40;
bool g_quiet = false;

// The temporary output while it exists, for the signal handler to remove.
char g_temp[PATH_MAX + 16];
volatile sig_atomic_t g_temp_made = 0;

void RemoveTempAndDie(int sig) {
  if (g_temp_made) unlink(g_temp);
  signal(sig, SIG_DFL);
  raise(sig);
}

int BadUsage(const char* format, ...) __attribute__((format(printf, 1, 2)));
int BadUsage(const char* format, ...) {
  va_list args;
  va_start(args, format);
  fputs("zr-crc: ", stderr);
  vfprintf(stderr, format, args);
  va_end(args);
  fputs("\nTry 'zr-crc --help' for more information.\n", stderr);
  return kTrouble;
}

// "zr-crc: NAME: why" on stderr unless quiet; returns the trouble status.
int Trouble(const char* name, int err) {
  if (!g_quiet) fprintf(stderr, "zr-crc: %s: %s\n", name, strerror(err));
  return kTrouble;
}

// A result line on stdout (or stderr, when stdout carries data).
void Report(bool to_stderr, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Report(bool to_stderr, const char* format, ...) {
  if (g_quiet) return;
  va_list args;
  va_start(args, format);
  vfprintf(to_stderr ? stderr : stdout, format, args);
  va_end(args);
}

// SIZE as --help describes it; 0 with the reason in `why` when invalid.
uint64_t ParseSize(const char* text, const char** why) {
  const char* p = text;
  uint64_t n = 0;
  for (; *p >= '0' && *p <= '9'; p++) n = std::min(n * 10 + uint64_t(*p - '0'), kMaxBlock + 1);
  const bool digits = p != text;
  int shift = 0;
  if (*p == 'K' || *p == 'k')
    shift = 10, p++;
  else if (*p == 'M' || *p == 'm')
    shift = 20, p++;
  else if (*p == 'G' || *p == 'g')
    shift = 30, p++;
  *why = !digits || *p != '\0'    ? "not a size: digits, then optionally K, M or G"
         : n == 0                 ? "block size must be at least 1"
         : n > kMaxBlock >> shift ? "block size must be at most 1024G"
                                  : nullptr;
  return *why == nullptr ? n << shift : 0;
}

// "verb 12 of 80 MiB (15%), 230 MiB/s" on stderr twice a second, when it
// is a terminal; without a total when the input's length is unknown.
class Progress {
 public:
  Progress(const char* verb, int64_t total)
      : m_verb(verb), m_total(total), m_on(!g_quiet && isatty(STDERR_FILENO)), m_start(Now()) {
    m_last = m_start;
  }
  ~Progress() { Clear(); }
  void Clear() {
    if (m_shown) fputs("\r\033[K", stderr);
    m_shown = false;
  }
  void Update(uint64_t done) {
    const double now = Now();
    if (!m_on || now - m_last < 0.5) return;
    m_last = now;
    m_shown = true;
    const double rate = double(done) / (now - m_start) / 1048576;
    if (m_total < 0)
      fprintf(stderr, "\r\033[Kzr-crc: %s %llu MiB, %.0f MiB/s", m_verb,
              (unsigned long long)(done >> 20), rate);
    else
      fprintf(stderr, "\r\033[Kzr-crc: %s %llu of %llu MiB (%.0f%%), %.0f MiB/s", m_verb,
              (unsigned long long)(done >> 20), (unsigned long long)(m_total >> 20),
              m_total > 0 ? 100.0 * double(done) / double(m_total) : 100.0, rate);
  }

 private:
  static double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
  }
  const char* m_verb;
  int64_t m_total;
  bool m_on;
  bool m_shown = false;
  double m_start, m_last;
};

// A stdio stream over a copy of standard input or output; null with errno.
std::unique_ptr<Zr_FileDescriptor> StandardStream(int fd, const char* mode) {
  int copy = dup(fd);
  FILE* f = copy < 0 ? nullptr : fdopen(copy, mode);
  if (f == nullptr) {
    int e = errno;
    if (copy >= 0) close(copy);
    errno = e;
    return nullptr;
  }
  return std::unique_ptr<Zr_FileDescriptor>(new Zr_StreamFileDescriptor(f));
}

// Where seal writes: standard output, a device written in place, or a
// temporary file beside the output that replaces it only in Commit.
class Output {
 public:
  ~Output() {
    m_fd.reset();
    if (g_temp_made) unlink(g_temp);
    g_temp_made = 0;
  }

  // False with errno; EEXIST when OUT is the input file itself.
  bool Open(const char* path, const struct stat& in) {
    if (strcmp(path, "-") == 0) return (m_fd = StandardStream(STDOUT_FILENO, "wb")) != nullptr;
    struct stat st;
    mode_t mask = umask(0);
    umask(mask);
    mode_t mode = 0666 & ~mask;
    const bool exists = stat(path, &st) == 0;
    if (exists) {
      if (S_ISDIR(st.st_mode)) return errno = EISDIR, false;
      if (st.st_dev == in.st_dev && st.st_ino == in.st_ino) return errno = EEXIST, false;
      if (!S_ISREG(st.st_mode)) {
        m_fd.reset(new Zr_BufferedFileDescriptor(kChunk));
        return m_fd->Open(path, O_WRONLY | O_TRUNC) >= 0;
      }
      mode = st.st_mode & 07777;
    } else if (errno != ENOENT) {
      return false;
    }
    // A symbolic link keeps pointing where it did: the file it names is
    // replaced, not the link.
    char resolved[PATH_MAX];
    struct stat link;
    m_target = path;
    if (lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
      if (realpath(path, resolved) == nullptr) return false;
      m_target = resolved;
    }
    size_t slash = m_target.rfind('/');
    std::string dir = slash == std::string::npos ? "." : m_target.substr(0, slash + 1);
    std::string base = m_target.substr(slash == std::string::npos ? 0 : slash + 1);
    std::string temp =
        dir + (slash == std::string::npos ? "/." : ".") + base.substr(0, 200) + ".XXXXXX";
    if (temp.size() >= sizeof g_temp) return errno = ENAMETOOLONG, false;
    m_dir = dir;
    strcpy(g_temp, temp.c_str());
    m_fd.reset(new Zr_BufferedFileDescriptor(kChunk));
    if (m_fd->MkSTemp(g_temp) < 0) return false;
    g_temp_made = 1;
    for (int sig : {SIGHUP, SIGINT, SIGTERM}) signal(sig, RemoveTempAndDie);
    if (exists && fchown(m_fd->GetFileDescriptor(), st.st_uid, st.st_gid) != 0) {
      // Not the owner's to give: the new file is the caller's, like a copy.
    }
    return fchmod(m_fd->GetFileDescriptor(), mode) == 0;
  }

  Zr_FileDescriptor* fd() { return m_fd.get(); }

  // Flushes and closes; a temporary file is synced first, renamed over the
  // output and the directory synced. False with errno.
  bool Commit() {
    if (!g_temp_made) return m_fd->Close() == 0;
    if (m_fd->Sync() != 0 || m_fd->Close() != 0 || rename(g_temp, m_target.c_str()) != 0)
      return false;
    g_temp_made = 0;
    int dir = open(m_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = dir >= 0 && fsync(dir) == 0;
    if (dir >= 0) close(dir);
    return synced;
  }

 private:
  std::unique_ptr<Zr_FileDescriptor> m_fd;
  std::string m_target, m_dir;
};

int Seal(uint64_t block, const char* in_path, const char* out_path) {
  std::unique_ptr<Zr_FileDescriptor> in;
  if (strcmp(in_path, "-") == 0) {
    in = StandardStream(STDIN_FILENO, "rb");
  } else {
    in.reset(new Zr_FileDescriptor());
    if (in->Open(in_path, O_RDONLY) < 0) in.reset();
  }
  struct stat st;
  if (in == nullptr || in->Stat(&st) != 0) return Trouble(in_path, errno);
  if (S_ISDIR(st.st_mode)) return Trouble(in_path, EISDIR);
  Output out;
  if (!out.Open(out_path, st)) {
    if (errno != EEXIST) return Trouble(out_path, errno);
    if (!g_quiet) fprintf(stderr, "zr-crc: %s and %s are the same file\n", in_path, out_path);
    return kTrouble;
  }
  const bool data_on_stdout = strcmp(out_path, "-") == 0;
  std::vector<unsigned char> buf(kChunk);
  uint64_t data = 0, written = 0;
  try {
    Zr_CRCWriteStream crc(out.fd(), block);
    Progress progress("sealed", S_ISREG(st.st_mode) ? st.st_size : -1);
    for (int64_t n; (n = in->Read(buf.data(), buf.size())) != 0; data += uint64_t(n)) {
      if (n < 0) return Trouble(in_path, errno);
      crc.WriteBuf(buf.data(), uint64_t(n));
      progress.Update(data + uint64_t(n));
    }
    crc.WriteCRCs();
    written = crc.GetDataWritten();
  } catch (const Zr_ErrnoException& e) {
    return Trouble(out_path, e.GetErrno());
  }
  if (!out.Commit()) return Trouble(out_path, errno);
  Report(data_on_stdout, "%s: sealed %llu data bytes in %llu blocks of %llu (%llu bytes)\n",
         out_path, (unsigned long long)data, (unsigned long long)(data / block + 1),
         (unsigned long long)block, (unsigned long long)written);
  return kIntact;
}

// What a full pass over a sealed file found: how many of its `n` checksums
// do not match their blocks, and the first of them.
struct Mismatches {
  uint64_t count = 0, first = 0;
};

// Compares every block of the file's `data` bytes with its checksum,
// reading the checksums beside the data with pread. False with errno.
bool FindMismatches(Zr_FileDescriptor& fd, uint64_t block, uint64_t data, Mismatches* found) {
  if (fd.Seek(0, SEEK_SET) != 0) return false;
  std::vector<unsigned char> buf(kChunk);
  std::vector<unsigned char> sums(65536);
  const uint64_t n = data / block + 1;
  for (uint64_t i = 0, at = 0; i < n; i++) {
    uint32_t adler = ZR_ADLER32_INIT;
    for (uint64_t end = std::min(at + block, data); at < end;) {
      int64_t got = fd.Read(buf.data(), std::min<uint64_t>(kChunk, end - at));
      if (got <= 0) return errno = got == 0 ? ENODATA : errno, false;
      adler = Zr_Adler32(adler, buf.data(), size_t(got));
      at += uint64_t(got);
    }
    const size_t slot = size_t(i % (sums.size() / 4)) * 4;
    const size_t want = size_t(std::min<uint64_t>(sums.size(), (n - i) * 4));
    if (slot == 0) {
      ssize_t got = pread(fd.GetFileDescriptor(), sums.data(), want, off_t(data + i * 4));
      if (got != ssize_t(want)) return errno = got < 0 ? errno : ENODATA, false;
    }
    const uint32_t stored = uint32_t(sums[slot]) | uint32_t(sums[slot + 1]) << 8 |
                            uint32_t(sums[slot + 2]) << 16 | uint32_t(sums[slot + 3]) << 24;
    if (stored != adler && found->count++ == 0) found->first = i;
  }
  return true;
}

// Opens FILE as a regular file for reading into `fd`. Standard input, a
// pipe, a FIFO or a device is first copied to an unlinked temporary file,
// since the length decides where the data ends. False with errno.
bool OpenSealed(const char* path, Zr_BufferedFileDescriptor* fd, struct stat* st) {
  std::unique_ptr<Zr_FileDescriptor> source;
  const bool std_in = strcmp(path, "-") == 0;
  if (std_in) {
    source = StandardStream(STDIN_FILENO, "rb");
  } else {
    source.reset(new Zr_FileDescriptor());
    if (source->Open(path, O_RDONLY) < 0) return false;
  }
  if (source == nullptr || source->Stat(st) != 0) return false;
  if (S_ISDIR(st->st_mode)) return errno = EISDIR, false;
  if (S_ISREG(st->st_mode)) return fd->Open(std_in ? "/dev/stdin" : path, O_RDONLY) >= 0;
  const char* tmpdir = getenv("TMPDIR");
  std::string name = std::string(tmpdir != nullptr && *tmpdir ? tmpdir : "/tmp") + "/zr-crc.XXXXXX";
  std::vector<unsigned char> buf(kChunk);
  if (fd->MkSTemp(&name[0]) < 0) return false;
  unlink(name.c_str());
  return fd->Copy(*source, -1, buf.data(), buf.size()) == 0 && fd->Seek(0, SEEK_SET) == 0 &&
         fd->Stat(st) == 0;
}

int Verify(uint64_t block, const char* path) {
  Zr_BufferedFileDescriptor fd(kChunk);
  struct stat st;
  if (!OpenSealed(path, &fd, &st)) return Trouble(path, errno);
  // A segment of D data bytes takes D + 4 (D / B + 1) bytes: with
  // D = k B + r (r < B), size - 4 = k (B + 4) + r.
  const uint64_t size = uint64_t(st.st_size);
  const uint64_t k = size < 4 ? 0 : (size - 4) / (block + 4);
  const uint64_t r = size < 4 ? 0 : (size - 4) % (block + 4);
  if (size < 4 || r >= block) {
    Report(false,
           "%s: DAMAGED: %llu bytes cannot be data plus checksums of %llu-byte blocks: "
           "truncated, extended, or sealed with another block size\n",
           path, (unsigned long long)size, (unsigned long long)block);
    return kDamaged;
  }
  const uint64_t data = k * block + r;
  std::vector<unsigned char> buf(kChunk);
  try {
    Zr_CRCReadStream crc(&fd, block);
    Progress progress("verified", int64_t(data));
    for (uint64_t at = 0; at < data;) {
      unsigned long n = static_cast<unsigned long>(std::min<uint64_t>(kChunk, data - at));
      crc.ReadBuf(buf.data(), n);
      at += n;
      progress.Update(at);
    }
    progress.Clear();
    crc.CheckCRCs();
  } catch (const Zr_ErrnoException& e) {
    if (e.GetErrno() != EILSEQ) return Trouble(path, e.GetErrno());
    // Damage spoils a block or a checksum or a few; a length that is off
    // (or another block size) puts every checksum out of place.
    Mismatches m;
    if (!FindMismatches(fd, block, data, &m)) return Trouble(path, errno);
    const uint64_t first = m.first * block, end = std::min(first + block, data);
    const unsigned long long at = data + m.first * 4;
    char why[256];
    if (k > 0 && m.count == k + 1)
      snprintf(why, sizeof why,
               "no block matches its checksum: truncated, extended, or sealed with another "
               "block size");
    else if (first == end)
      snprintf(why, sizeof why,
               "the checksum of the empty last block, at byte %llu, is not 01 00 00 00", at);
    else
      snprintf(why, sizeof why,
               "block %llu (data bytes %llu to %llu) or its checksum at byte %llu does not match",
               (unsigned long long)m.first, (unsigned long long)first, (unsigned long long)end - 1,
               at);
    std::string more;
    if (m.count > 1 && m.count <= k) more = ", nor do " + std::to_string(m.count - 1) + " more";
    if (k == 0) more += "; or the file was truncated, extended or sealed with another block size";
    Report(false, "%s: DAMAGED: %s%s\n", path, why, more.c_str());
    return kDamaged;
  }
  Report(false, "%s: OK (%llu data bytes, %llu checksums of %llu-byte blocks)\n", path,
         (unsigned long long)data, (unsigned long long)(k + 1), (unsigned long long)block);
  return kIntact;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {{"block-size", required_argument, nullptr, 'b'},
                                    {"quiet", no_argument, nullptr, 'q'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  uint64_t block = 0;
  opterr = 0;
  for (int opt; (opt = getopt_long(argc, argv, "b:q", kOptions, nullptr)) != -1;) {
    const char* why = nullptr;
    if (opt == 'b' && (block = ParseSize(optarg, &why)) == 0)
      return BadUsage("-b %s: %s", optarg, why);
    if (opt == 'q') g_quiet = true;
    if (opt == 'h') return fputs(kHelp, stdout), kIntact;
    if (opt == 'V') return printf("zr-crc (libzrshared) %s\n", zrshared_version()), kIntact;
    if (opt == '?') {
      return optopt == 'b' ? BadUsage("-b needs a SIZE")
             : optopt != 0 ? BadUsage("unknown option -%c", optopt)
                           : BadUsage("unknown option %s", argv[optind - 1]);
    }
  }
  const int nargs = argc - optind;
  const char* cmd = nargs > 0 ? argv[optind] : "";
  if (strcmp(cmd, "seal") != 0 && strcmp(cmd, "verify") != 0)
    return BadUsage(nargs == 0 ? "missing command: seal or verify" : "unknown command %s", cmd);
  if (block == 0) return BadUsage("%s needs -b SIZE", cmd);
  if (cmd[0] == 's') {
    if (nargs != 3) return BadUsage("seal takes IN and OUT");
    return Seal(block, argv[optind + 1], argv[optind + 2]);
  }
  if (nargs < 2) return BadUsage("verify takes at least one FILE");
  int status = kIntact;
  for (int i = optind + 1; i < argc; i++) status = std::max(status, Verify(block, argv[i]));
  return status;
}

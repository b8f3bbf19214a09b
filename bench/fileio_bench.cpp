// Sequential writes and reads of a 64 MiB file region in pieces of 1, 16,
// 100 and 4096 bytes, through the buffered descriptor, glibc stdio with a
// 64 KiB buffer (fwrite/fread), the stream descriptor over the same stdio
// buffer, and the plain descriptor.
//
// One benchmark iteration moves one piece; pieces go in batches, and the
// position wraps to the start of the file before it would pass 64 MiB, so a
// case costs what its iteration count costs and short runs
// (--benchmark_min_time=0.01) stay short. Compare the bytes_per_second of
// cases with the same operation and size.
//
// A thread is started (and joined) before the cases run: glibc stdio locks
// every call once a process has had a second thread, as the storage
// engine's processes have, and the baseline must pay what users pay.
#include "Zr_BufferedFileDescriptor.h"
#include "Zr_FileDescriptor.h"
#include "Zr_StreamFileDescriptor.h"
#include "bench_main.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

const int64_t kFileBytes = int64_t{64} << 20;
const size_t kStdioBuffer = 65536;
const size_t kPieces[] = {1, 16, 100, 4096};

std::string Dir() {
  if (access("/dev/shm", W_OK) == 0) return "/dev/shm";
  const char* tmp = getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

std::string ScratchPath(const char* what) {
  return Dir() + "/zr_fileio_bench." + std::to_string(getpid()) + "." + what;
}

// The file the read cases read: 64 MiB, written on first use.
std::string g_read_source;

const std::string& ReadSource() {
  if (!g_read_source.empty()) return g_read_source;
  g_read_source = ScratchPath("read");
  int fd = open(g_read_source.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
  for (int64_t done = 0; fd >= 0 && done < kFileBytes; done += block.size()) {
    if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) abort();
  }
  close(fd);
  return g_read_source;
}

// One way of doing I/O. The descriptors are used through a base-class
// reference the compiler cannot see through, as code written against
// Zr_FileDescriptor (the CRC streams, Copy) uses them.
template <typename Concrete>
class DescriptorIo {
 public:
  bool Open(const std::string& path, int flags) {
    Zr_FileDescriptor* p = &m_fd;
    benchmark::DoNotOptimize(p);
    m_io = p;
    const bool opened = m_io->Open(path.c_str(), flags, 0600) >= 0;
    if constexpr (std::is_same_v<Concrete, Zr_StreamFileDescriptor>) {
      return opened && setvbuf(m_fd.GetFile(), m_buffer.get(), _IOFBF, kStdioBuffer) == 0;
    }
    return opened;
  }
  void Write(const char* data, size_t n) { m_io->Write(data, n); }
  void Read(char* data, size_t n) { m_io->Read(data, n); }
  void Rewind() { m_io->Seek(0, SEEK_SET); }
  void Close() { m_io->Close(); }

 private:
  std::unique_ptr<char[]> m_buffer{new char[kStdioBuffer]};  // a stream's; outlives it
  Concrete m_fd;
  Zr_FileDescriptor* m_io = nullptr;
};

class StdioIo {
 public:
  bool Open(const std::string& path, int flags) {
    m_file = fopen(path.c_str(), (flags & O_ACCMODE) == O_RDONLY ? "rb" : "wb");
    return m_file != nullptr && setvbuf(m_file, m_buffer.get(), _IOFBF, kStdioBuffer) == 0;
  }
  void Write(const char* data, size_t n) { fwrite(data, 1, n, m_file); }
  void Read(char* data, size_t n) { fread(data, 1, n, m_file); }
  void Rewind() { fseeko(m_file, 0, SEEK_SET); }
  void Close() { fclose(m_file); }

 private:
  FILE* m_file = nullptr;
  std::unique_ptr<char[]> m_buffer{new char[kStdioBuffer]};
};

// Moves one piece per iteration, sequentially, wrapping every 64 MiB.
template <typename Io, bool kWrite>
void Pieces(benchmark::State& state, size_t piece) {
  const std::string path = kWrite ? ScratchPath("write") : ReadSource();
  Io io;
  if (!io.Open(path, kWrite ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY)) {
    state.SkipWithError("cannot open the scratch file");
    return;
  }
  std::vector<char> data(piece, 'w');
  // Pieces go in batches that always fit before the wrap, so the loop that
  // times them does nothing but transfer.
  const int64_t batch = 256;
  const int64_t batch_bytes = batch * static_cast<int64_t>(piece);
  int64_t pos = 0;
  while (state.KeepRunningBatch(batch)) {
    if (pos + batch_bytes > kFileBytes) {
      io.Rewind();
      pos = 0;
    }
    for (int64_t i = 0; i < batch; ++i) {
      if (kWrite) {
        io.Write(data.data(), piece);
      } else {
        io.Read(data.data(), piece);
        benchmark::DoNotOptimize(data.data());
      }
    }
    pos += batch_bytes;
  }
  io.Close();
  if (kWrite) unlink(path.c_str());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(piece));
}

template <typename Io>
void Register(const char* operation, const char* implementation, size_t piece) {
  const std::string name =
      std::string(operation) + "/" + implementation + "/" + std::to_string(piece);
  benchmark::RegisterBenchmark(name.c_str(),
                               operation[0] == 'W' ? Pieces<Io, true> : Pieces<Io, false>, piece);
}

}  // namespace

int main(int argc, char** argv) {
  std::thread([] {}).join();

  // Each of ours beside its baselines, operation by operation.
  for (const char* operation : {"Write", "Read"}) {
    for (size_t piece : kPieces) {
      Register<DescriptorIo<Zr_BufferedFileDescriptor>>(operation, "zr_buffered", piece);
      Register<StdioIo>(operation, "stdio", piece);
      Register<DescriptorIo<Zr_StreamFileDescriptor>>(operation, "zr_stream", piece);
      Register<DescriptorIo<Zr_FileDescriptor>>(operation, "zr_plain", piece);
    }
  }

  return zr_bench::Main(
      argc, argv,
      "Write|Read/zr_buffered: small pieces copied into its buffer, one write(2) or read(2) per "
      "buffer; zr_stream: stdio underneath; zr_plain: one syscall per piece",
      [] {
        if (!g_read_source.empty()) unlink(g_read_source.c_str());
      });
}

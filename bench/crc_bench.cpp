// Adler-32 paths against zlib's adler32 (and libdeflate's and ISA-L's where
// they were found at build time), and the checksummed streams against the
// bare checksum they are built on. The context lines name the CPU, its
// vector flags and the paths Zr_Adler32 takes.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#ifdef ZR_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#ifdef ZR_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include "Zr_Adler32.h"
#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"
#include "bench_main.h"

namespace {

// One 1 MiB random buffer, made once, for every case.
const unsigned char* Data() {
  static const std::vector<unsigned char> data = [] {
    std::vector<unsigned char> v(1 << 20);
    std::mt19937 rng(1950);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
  }();
  return data.data();
}

// A peer's checksum of one buffer: same start value, same bytes.
template <uint32_t (*kChecksum)(uint32_t, const unsigned char*, size_t)>
void Adler32Of(benchmark::State& state) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) benchmark::DoNotOptimize(kChecksum(1, p, len));
  state.SetBytesProcessed(state.iterations() * len);
}

uint32_t Zlib(uint32_t a, const unsigned char* p, size_t n) {
  return adler32(a, p, static_cast<uInt>(n));
}
#ifdef ZR_HAVE_LIBDEFLATE
uint32_t Libdeflate(uint32_t a, const unsigned char* p, size_t n) {
  return libdeflate_adler32(a, p, n);
}
#endif
#ifdef ZR_HAVE_ISAL
uint32_t Isal(uint32_t a, const unsigned char* p, size_t n) { return isal_adler32(a, p, n); }
#endif

void Adler32Path(benchmark::State& state, zr_adler32_path_t path) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Zr_Adler32Path(path, 1, p, len));
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void Adler32Best(benchmark::State& state) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(Zr_Adler32(1, p, len));
  }
  state.SetBytesProcessed(state.iterations() * len);
  state.SetLabel(Zr_Adler32PathName(Zr_Adler32PathFor(len)));
}

// A descriptor that discards what is written and serves reads from a
// prepared stream, so the streams' own cost shows.
class MemoryFd : public Zr_FileDescriptor {
 public:
  std::vector<unsigned char> stream;
  size_t pos = 0;
  bool IsOpen() override { return true; }
  int64_t Write(void const*, unsigned long count) override { return count; }
  int64_t Read(void* buffer, unsigned long count) override {
    size_t n = std::min<size_t>(count, stream.size() - pos);
    memcpy(buffer, stream.data() + pos, n);
    pos += n;
    return n;
  }
};

// Each iteration passes one buffer; a segment ends after every 1 MiB of
// data, as a caller streaming a large object would, so the 4-byte checksum
// writes count in proportion.
const size_t kSegment = 1 << 20;

// The bare checksum over the same data and blocks: the streams' baseline.
// Like the streams, it walks the 1 MiB of data one buffer per iteration, so
// both read from the same cache level.
void BareBlocks(benchmark::State& state, unsigned long block) {
  const size_t len = state.range(0);
  size_t offset = 0;
  for (auto _ : state) {
    const unsigned char* p = Data() + offset;
    for (size_t at = 0; at < len; at += block) {
      benchmark::DoNotOptimize(Zr_Adler32(1, p + at, std::min<size_t>(block, len - at)));
    }
    offset = (offset + len) % kSegment;
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void WriteStream(benchmark::State& state, unsigned long block) {
  const size_t len = state.range(0);
  MemoryFd fd;
  Zr_CRCWriteStream out(&fd, block);
  size_t at = 0;
  for (auto _ : state) {
    out.WriteBuf(Data() + at, len);
    at += len;
    if (at == kSegment) {
      out.WriteCRCs();
      at = 0;
    }
  }
  state.SetBytesProcessed(state.iterations() * len);
}

// Reading copies the data out of the descriptor, as any real read does; its
// baseline is the bare checksum plus the same memcpy.
void ReadStream(benchmark::State& state, unsigned long block) {
  const size_t len = state.range(0);
  MemoryFd fd;
  fd.stream.assign(Data(), Data() + kSegment);
  for (size_t at = 0;; at += block) {
    size_t n = std::min<size_t>(block, kSegment - at);
    uint32_t v = Zr_Adler32(1, Data() + at, n);
    for (int i = 0; i < 4; ++i) fd.stream.push_back(static_cast<unsigned char>(v >> (8 * i)));
    if (n < block) break;
  }
  std::vector<unsigned char> buf(len);
  Zr_CRCReadStream in(&fd, block);
  for (auto _ : state) {
    in.ReadBuf(buf.data(), len);
    if (fd.pos == kSegment) {
      in.CheckCRCs();
      fd.pos = 0;
    }
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void CopyAndBare(benchmark::State& state, unsigned long block) {
  const size_t len = state.range(0);
  std::vector<unsigned char> buf(len);
  size_t offset = 0;
  for (auto _ : state) {
    memcpy(buf.data(), Data() + offset, len);
    for (size_t at = 0; at < len; at += block) {
      benchmark::DoNotOptimize(Zr_Adler32(1, buf.data() + at, std::min<size_t>(block, len - at)));
    }
    offset = (offset + len) % kSegment;
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(512)->Arg(65536)->Arg(1 << 20); }
// Around the lengths where one vector path overtakes another.
void AdlerSizes(benchmark::internal::Benchmark* b) {
  for (long n : {64, 512, 2048, 4096, 16384, 65536, 1 << 20}) b->Arg(n);
}

BENCHMARK_TEMPLATE(Adler32Of, Zlib)->Name("Adler32/zlib")->Apply(AdlerSizes);
#ifdef ZR_HAVE_LIBDEFLATE
BENCHMARK_TEMPLATE(Adler32Of, Libdeflate)->Name("Adler32/libdeflate")->Apply(AdlerSizes);
#endif
#ifdef ZR_HAVE_ISAL
BENCHMARK_TEMPLATE(Adler32Of, Isal)->Name("Adler32/isal")->Apply(AdlerSizes);
#endif
BENCHMARK(Adler32Best)->Name("Adler32/zr")->Apply(AdlerSizes);

BENCHMARK_CAPTURE(BareBlocks, b4096, 4096)->Name("CRCWriteStream/bare_adler32_b4096")->Apply(Sizes);
BENCHMARK_CAPTURE(WriteStream, b4096, 4096)->Name("CRCWriteStream/zr_b4096")->Apply(Sizes);
BENCHMARK_CAPTURE(BareBlocks, b65536, 65536)
    ->Name("CRCWriteStream/bare_adler32_b65536")
    ->Apply(Sizes);
BENCHMARK_CAPTURE(WriteStream, b65536, 65536)->Name("CRCWriteStream/zr_b65536")->Apply(Sizes);
BENCHMARK_CAPTURE(CopyAndBare, b4096, 4096)
    ->Name("CRCReadStream/memcpy_adler32_b4096")
    ->Apply(Sizes);
BENCHMARK_CAPTURE(ReadStream, b4096, 4096)->Name("CRCReadStream/zr_b4096")->Apply(Sizes);
BENCHMARK_CAPTURE(CopyAndBare, b65536, 65536)
    ->Name("CRCReadStream/memcpy_adler32_b65536")
    ->Apply(Sizes);
BENCHMARK_CAPTURE(ReadStream, b65536, 65536)->Name("CRCReadStream/zr_b65536")->Apply(Sizes);

}  // namespace

int main(int argc, char** argv) {
  // The path Zr_Adler32 takes at each length where it changes.
  std::string paths;
  for (size_t n = 0; n <= 65536; ++n) {
    if (n == 0 || Zr_Adler32PathFor(n) != Zr_Adler32PathFor(n - 1))
      paths += std::string(paths.empty() ? "" : ", ") + Zr_Adler32PathName(Zr_Adler32PathFor(n)) +
               " from " + std::to_string(n) + " B";
  }
#ifndef ZR_HAVE_LIBDEFLATE
  benchmark::AddCustomContext("libdeflate", "not found at build time (libdeflate-dev): no cases");
#endif
#ifndef ZR_HAVE_ISAL
  benchmark::AddCustomContext("isal", "not found at build time (libisal-dev): no cases");
#endif
  // Every path this CPU can run, beside the dispatcher and the peers.
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (!Zr_Adler32PathAvailable(path)) continue;
    std::string name = std::string("Adler32/zr-") + Zr_Adler32PathName(path);
    benchmark::RegisterBenchmark(name.c_str(), Adler32Path, path)->Apply(AdlerSizes);
  }
  return zr_bench::Main(argc, argv, "Adler32/zr and the streams: " + paths);
}

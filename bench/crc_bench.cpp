// Adler-32 paths against zlib's adler32, and the checksummed streams against
// the bare checksum they are built on.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Zr_Adler32.h"
#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"

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

void Adler32Zlib(benchmark::State& state) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    benchmark::DoNotOptimize(adler32(1, p, static_cast<uInt>(len)));
  }
  state.SetBytesProcessed(state.iterations() * len);
}

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
  state.SetLabel(Zr_Adler32PathName(Zr_Adler32ActivePath()));
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

// The bare checksum over the same data and blocks: the streams' baseline.
void BareBlocks(benchmark::State& state, unsigned long block) {
  const size_t len = state.range(0);
  const unsigned char* p = Data();
  for (auto _ : state) {
    for (size_t at = 0; at < len; at += block) {
      benchmark::DoNotOptimize(Zr_Adler32(1, p + at, std::min<size_t>(block, len - at)));
    }
  }
  state.SetBytesProcessed(state.iterations() * len);
}

// Each iteration passes one buffer; a segment ends after every 1 MiB of
// data, as a caller streaming a large object would, so the 4-byte checksum
// writes count in proportion.
const size_t kSegment = 1 << 20;

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
  for (auto _ : state) {
    memcpy(buf.data(), Data(), len);
    for (size_t at = 0; at < len; at += block) {
      benchmark::DoNotOptimize(Zr_Adler32(1, buf.data() + at, std::min<size_t>(block, len - at)));
    }
  }
  state.SetBytesProcessed(state.iterations() * len);
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(512)->Arg(65536)->Arg(1 << 20); }

BENCHMARK(Adler32Zlib)->Name("Adler32/zlib")->Apply(Sizes);
BENCHMARK(Adler32Best)->Name("Adler32/zr")->Apply(Sizes);

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
  // Every path this CPU can run, beside the best one and zlib.
  for (int p = 0; p < ZR_ADLER32_NR_PATHS; ++p) {
    auto path = static_cast<zr_adler32_path_t>(p);
    if (!Zr_Adler32PathAvailable(path)) continue;
    std::string name = std::string("Adler32/zr_") + Zr_Adler32PathName(path);
    benchmark::RegisterBenchmark(name.c_str(), Adler32Path, path)->Apply(Sizes);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

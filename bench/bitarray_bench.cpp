// Bit-array operations on equal runs of 1 Mibit, each beside a baseline:
// the fast compare against the bit-at-a-time reference and memcmp over the
// same bytes, at offsets (0, 0) and (3, 5); matching and setting against a
// plain bit-at-a-time loop.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Zr_Adler32.h"
#include "Zr_BitArray.h"
#include "Zr_Utils.h"
#include "bench_main.h"

namespace {

constexpr unsigned long kBits = 1ul << 20;

int BitOf(const char* p, unsigned long i) { return (p[i / 8] >> (i % 8)) & 1; }

// Two byte arrays holding the same random run of kBits bits at the given
// offsets; built once per offset pair.
struct Runs {
  Runs(unsigned a_off, unsigned b_off) : a_offset(a_off), b_offset(b_off) {
    a.resize(Zr_BitsToBytes(a_off + kBits));
    b.resize(Zr_BitsToBytes(b_off + kBits));
    std::mt19937_64 rng(a_off * 8 + b_off);
    for (char& c : a) c = static_cast<char>(rng());
    for (unsigned long i = 0; i < kBits; ++i)
      Zr_BitArraySet(b.data(), b_off + i, BitOf(a.data(), a_off + i), 1);
  }
  std::vector<char> a, b;
  unsigned a_offset, b_offset;
};

const Runs& RunsAt(unsigned a_off, unsigned b_off) {
  static const Runs r00(0, 0), r35(3, 5);
  return a_off == 0 && b_off == 0 ? r00 : r35;
}

void Report(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kBits / 8));
}

void CompareFast(benchmark::State& state, unsigned ao, unsigned bo) {
  const Runs& r = RunsAt(ao, bo);
  for (auto _ : state)
    benchmark::DoNotOptimize(Zr_BitArrayLittleEndianCompare(r.a.data(), ao, r.b.data(), bo, kBits));
  Report(state);
}

void CompareReference(benchmark::State& state, unsigned ao, unsigned bo) {
  const Runs& r = RunsAt(ao, bo);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        _Zr_BitArrayLittleEndianCompare(r.a.data(), ao, r.b.data(), bo, kBits));
  Report(state);
}

// memcmp over the bytes that hold the two runs (equal only at (0, 0), but
// for equal bytes memcmp reads them all in either case).
void CompareMemcmp(benchmark::State& state, unsigned ao, unsigned bo) {
  (void)bo;  // b's bytes differ when its offset does; compare a with a copy
  const Runs& r = RunsAt(ao, bo);
  std::vector<char> copy(r.a);
  for (auto _ : state) benchmark::DoNotOptimize(memcmp(r.a.data(), copy.data(), r.a.size()));
  Report(state);
}

void MatchFast(benchmark::State& state, unsigned ao, unsigned bo) {
  const Runs& r = RunsAt(ao, bo);
  // Zr_MatchBits takes modifiable pointers but never writes through them.
  auto* a = reinterpret_cast<unsigned char*>(const_cast<char*>(r.a.data()));
  auto* b = reinterpret_cast<unsigned char*>(const_cast<char*>(r.b.data()));
  for (auto _ : state) benchmark::DoNotOptimize(Zr_MatchBits(a, b, ao, bo, kBits));
  Report(state);
}

void MatchBitLoop(benchmark::State& state, unsigned ao, unsigned bo) {
  const Runs& r = RunsAt(ao, bo);
  for (auto _ : state) {
    int match = 1;
    for (unsigned long i = 0; i < kBits && match; ++i)
      match = BitOf(r.a.data(), ao + i) == BitOf(r.b.data(), bo + i);
    benchmark::DoNotOptimize(match);
  }
  Report(state);
}

void SetFast(benchmark::State& state, unsigned ao, unsigned) {
  std::vector<char> buf(Zr_BitsToBytes(ao + kBits));
  char value = 0;
  for (auto _ : state) {
    Zr_BitArraySet(buf.data(), ao, value ^= 1, kBits);
    benchmark::ClobberMemory();
  }
  Report(state);
}

void SetBitLoop(benchmark::State& state, unsigned ao, unsigned) {
  std::vector<char> buf(Zr_BitsToBytes(ao + kBits));
  char value = 0;
  for (auto _ : state) {
    value ^= 1;
    for (unsigned long q = ao; q < ao + kBits; ++q) {
      char& byte = buf[q / 8];
      byte = static_cast<char>((byte & ~(1 << (q % 8))) | (value << (q % 8)));
    }
    benchmark::ClobberMemory();
  }
  Report(state);
}

using Case = void (*)(benchmark::State&, unsigned, unsigned);

void Register(const std::string& operation, const char* impl, Case fn, unsigned ao, unsigned bo) {
  benchmark::RegisterBenchmark((operation + "/" + impl + "/" + std::to_string(kBits)).c_str(),
                               [=](benchmark::State& s) { fn(s, ao, bo); });
}

}  // namespace

int main(int argc, char** argv) {
  for (unsigned bo : {0u, 5u}) {
    const unsigned ao = bo == 0 ? 0 : 3;
    const std::string op = "Compare_" + std::to_string(ao) + "_" + std::to_string(bo);
    Register(op, "zr", CompareFast, ao, bo);
    Register(op, "reference", CompareReference, ao, bo);
    Register(op, "memcmp", CompareMemcmp, ao, bo);
  }
  Register("MatchBits_3_5", "zr", MatchFast, 3, 5);
  Register("MatchBits_3_5", "bitloop", MatchBitLoop, 3, 5);
  Register("Set_3", "zr", SetFast, 3, 0);
  Register("Set_3", "bitloop", SetBitLoop, 3, 0);
  // The compare searches with AVX2 when the library-wide ceiling (ZR_SIMD)
  // and the CPU allow it, which is when short Adler-32 buffers take AVX2.
  return zr_bench::Main(argc, argv,
                        std::string("Compare_*/zr: ") +
                            (Zr_Adler32PathFor(0) == ZR_ADLER32_AVX2 ? "avx2" : "portable"));
}

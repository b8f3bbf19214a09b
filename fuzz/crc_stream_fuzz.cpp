// Drives the checksummed streams through damaged, truncated and extended
// segments. The writer writes a few segments, in pieces of the input's
// choosing, to an in-memory descriptor; the bytes must be exactly the format
// (the data, then one little-endian Adler-32 per block). The input then
// flips bytes, cuts the stream short or extends it, and the reader reads it
// back with the same segment lengths in another split, with the writer's
// block size or another one. With the writer's block size, a segment
//  - whose bytes are all there and unchanged must verify and give its data;
//  - with exactly one changed byte must fail with EILSEQ;
//  - cut short, with its remaining bytes unchanged, must fail with ENODATA.
// Only the documented exceptions may ever come out. The descriptor fails one
// Read and one Write call with EINTR: the stream must report it with its
// documented message, and repeating the call must go on where it failed.
//
// Input (little-endian): 2 bytes block size, 1 byte flags (bits 0-1: segments
// - 1; bit 2: read with block size 1 + the next byte), 1 byte other block
// size, 1 byte each write split, read split, failing Write call and failing
// Read call (0: none), 2 bytes per segment length, 1 byte edit count, 4 bytes
// per edit (kind: 0 flip, 1 cut, 2 extend; 2 bytes place; 1 byte value), then
// the data bytes, repeated to fill the segments.
#include <string>
#include <vector>

#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"
#include "fuzz_support.h"

namespace {

using zr_fuzz::Check;
using zr_fuzz::Is;

// Piece sizes of a split: the whole rest for seed 0, otherwise 1 to
// 8 * seed bytes at a time; 0 once nothing is left.
struct Split {
  uint32_t seed, state;
  size_t Next(size_t left) {
    if (seed == 0) return left;
    state = state * 1103515245 + 12345;
    return std::min<size_t>(left, 1 + (state >> 16) % (8 * seed));
  }
};

// Runs `call`; an EINTR from the descriptor must come with `message`, and the
// call made again must go on as if it had not failed.
template <typename F>
void Retrying(const char* message, F call) {
  try {
    call();
    return;
  } catch (const Zr_ErrnoException& e) {
    if (e.GetErrno() != EINTR) throw;
    Check(Is(e, EINTR, message));
  }
  call();
}

void AppendLe32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>(v >> 8 * i);
}

// `len` bytes of `data`, repeated as needed and starting at byte `*next`.
ZR_FUZZ_UNTRACED std::string Cycle(const uint8_t* data, size_t size, size_t len, size_t* next) {
  std::string s(len, '\0');
  for (size_t i = 0; i < len && size != 0; ++i) s[i] = static_cast<char>(data[(*next)++ % size]);
  return s;
}

// The number of places in [from, to) where `a` and `b` differ.
ZR_FUZZ_UNTRACED size_t Differences(const std::string& a, const std::string& b, size_t from,
                                    size_t to) {
  size_t n = 0;
  for (size_t i = from; i < to; ++i) n += a[i] != b[i];
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zr_fuzz::Input in{data, size};
  const unsigned long block = 1 + in.Take(2) % 512;
  const uint32_t flags = in.Take(1), other = in.Take(1);
  const unsigned long read_block = (flags & 4) != 0 ? 1 + other : block;
  Split write_split{in.Take(1), 1}, read_split{in.Take(1), 2};
  zr_fuzz::MemoryFd fd;
  fd.fail_at = in.Take(1);
  const unsigned long read_fail = in.Take(1);
  std::vector<size_t> lengths(1 + flags % 4);
  for (size_t& len : lengths) len = in.Take(2) % 2048;
  struct Edit {
    uint32_t kind, place, value;
  };
  std::vector<Edit> edits(in.Take(1) % 8);
  for (Edit& e : edits) e = {in.Take(1) % 3, in.Take(2), in.Take(1)};

  // Write, and build the stream that the format prescribes.
  std::vector<std::string> segments;
  std::string expect;
  Zr_CRCWriteStream out(&fd, block);
  size_t next = 0;
  for (size_t len : lengths) {
    const std::string seg = Cycle(in.p, in.n, len, &next);
    const auto* p = reinterpret_cast<const unsigned char*>(seg.data());
    size_t at = 0, n;
    do {
      n = write_split.Next(len - at);
      Retrying("Failed to write to stream from buffer", [&] { out.WriteBuf(p + at, n); });
      at += n;
    } while (at < len);
    Retrying("Failed to write a value", [&] { out.WriteCRCs(); });
    expect += seg;
    for (size_t b = 0; b <= len / block; ++b)
      AppendLe32(expect, zr_fuzz::ModelAdler32(1, p + b * block, std::min(block, len - b * block)));
    segments.push_back(seg);
  }
  Check(fd.data == expect && out.GetDataWritten() == expect.size());

  zr_fuzz::MemoryFd damaged;
  damaged.data = expect;
  damaged.fail_at = read_fail;
  std::string& s = damaged.data;
  for (const Edit& e : edits) {
    if (e.kind == 0 && !s.empty()) s[e.place % s.size()] ^= static_cast<char>(e.value);
    if (e.kind == 1) s.resize(e.place % (s.size() + 1));
    if (e.kind == 2) s.append(1 + e.value % 32, static_cast<char>(e.place));
  }

  Zr_CRCReadStream back(&damaged, read_block);
  size_t start = 0, data_read = 0;
  for (const std::string& seg : segments) {
    const size_t len = seg.size(), end = start + len + 4 * (len / block + 1);
    const size_t diffs = Differences(s, expect, start, std::min(end, s.size()));
    const bool whole = s.size() >= end, same = read_block == block;
    std::string got(len, '\0');
    try {
      size_t at = 0, n;
      do {
        n = read_split.Next(len - at);
        Retrying("IO problem reading data from stream into buffer.",
                 [&] { back.ReadBuf(reinterpret_cast<unsigned char*>(&got[at]), n); });
        at += n;
      } while (at < len);
      Retrying("IO problem reading value from stream into buffer.", [&] { back.CheckCRCs(); });
    } catch (const Zr_ErrnoException& e) {
      const bool short_read =
          Is(e, ENODATA, "Failed to read all data from stream into buffer.") ||
          Is(e, ENODATA, "Failed to read all data for value from stream into buffer.");
      const bool mismatch = Is(e, EILSEQ, "Failed to read CRC value");
      Check(short_read || mismatch);
      if (same && whole) Check(diffs >= 2 || (diffs == 1 && mismatch));
      if (same && !whole) Check(diffs != 0 || short_read);
      return 0;
    }
    data_read += len;
    Check(back.GetDataRead() == data_read);
    if (same) Check(whole && diffs != 1 && (diffs != 0 || got == seg));
    start = end;
  }
  Check(read_block != block || damaged.pos == expect.size());
  return 0;
}

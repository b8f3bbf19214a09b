#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Zr_BufferedFileDescriptor.h"
#include "Zr_CRCReadStream.h"
#include "Zr_CRCWriteStream.h"
#include "Zr_StreamFileDescriptor.h"
#include "test_support.h"

namespace {

// In memory. Call number `fail_at` (Read or Write, from 0) returns
// `short_count` when that is negative (-1 with ENOSPC), or else moves only
// that many bytes.
struct MemoryFd : Zr_FileDescriptor {
  std::string data;
  int64_t pos = 0, short_count = -1, calls = 0, fail_at = -1;
  int64_t Write(void const* buffer, unsigned long count) override {
    if (Fails(count)) return short_count;
    data.append(static_cast<const char*>(buffer), count);
    return count;
  }
  int64_t Read(void* buffer, unsigned long count) override {
    if (Fails(count)) return short_count;
    pos += count = data.copy(static_cast<char*>(buffer), count, pos);
    return count;
  }
  bool Fails(unsigned long& count) {
    if (calls++ != fail_at) return false;
    errno = ENOSPC;
    count = std::min<uint64_t>(count, short_count);
    return short_count < 0;
  }
};

const Bytef* U(const std::string& s) { return reinterpret_cast<const Bytef*>(s.data()); }
Bytef* U(std::string& s) { return reinterpret_cast<Bytef*>(&s[0]); }

// The reference encoder: each segment's data, then one zlib Adler-32 per
// block (the final, possibly empty, one included), little-endian.

std::string Encode(const std::vector<std::string>& segments, size_t block) {
  std::string out;
  for (const std::string& seg : segments) {
    out += seg;
    for (size_t at = 0; at <= seg.size(); at += block) {
      uint32_t v = adler32(1, U(seg) + at, std::min(block, seg.size() - at));
      for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
    }
  }
  return out;
}

// Errno and message of what `fn` throws; errno -1 when it throws nothing.
using Err = std::pair<int, std::string>;
Err Thrown(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Zr_ErrnoException& e) {
    char text[128];
    return {e.GetErrno(), e.GetString(text, sizeof text)};
  }
  return {-1, ""};
}
const char kShortData[] = "Failed to read all data from stream into buffer.";
const char kShortValue[] = "Failed to read all data for value from stream into buffer.";

// Buffered descriptors with a small and the default buffer, so blocks
// straddle refills; lengths near multiples of the block and arbitrary ones.
TEST(CRCStreams, RealFileRoundTripsThroughEveryDescriptorClass) {
  const std::vector<std::function<Zr_FileDescriptor*()>> kinds = {
      [] { return new Zr_FileDescriptor; }, [] { return new Zr_BufferedFileDescriptor(100); },
      [] { return new Zr_BufferedFileDescriptor; }, [] { return new Zr_StreamFileDescriptor; }};
  zr_test::TempDir dir;
  std::mt19937 rng(5);
  for (int i = 0; i < 4 * 5 * 3; ++i) {
    const size_t kind = i % 4, block = std::vector<size_t>{1, 3, 100, 4096, 65536}[i / 4 % 5];
    const size_t most = std::vector<size_t>{1, 333, 70000}[i / 20];  // longest piece
    SCOPED_TRACE(i);
    // Calls fn(offset, n) over [0, len) in random pieces, empty ones among them.
    auto in_pieces = [&](size_t len, const std::function<void(size_t, size_t)>& fn) {
      for (size_t at = 0, n; at < len; at += n) fn(at, n = std::min(len - at, rng() % (most + 1)));
    };
    std::vector<std::string> segs(1 + rng() % 4);
    for (std::string& s : segs) {
      size_t len = rng() % 2 ? (rng() % 4) * block + rng() % 3 : rng() % (3 * block + 50);
      s.resize(std::min<size_t>(len, most == 1 ? 3000 : len));  // a call per byte
      for (char& c : s) c = static_cast<char>(rng());
    }
    std::unique_ptr<Zr_FileDescriptor> out(kinds[kind]()), in(kinds[kind]());
    ASSERT_GE(out->Open(dir.File("seg").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 0);
    Zr_CRCWriteStream w(out.get(), block);
    for (const std::string& s : segs) {
      in_pieces(s.size(), [&](size_t at, size_t n) { w.WriteBuf(U(s) + at, n); });
      w.WriteCRCs();
    }
    ASSERT_EQ(out->Close(), 0);
    ASSERT_EQ(zr_test::ReadFileContents(dir.File("seg")), Encode(segs, block));
    ASSERT_GE(in->Open(dir.File("seg").c_str(), O_RDONLY), 0);
    Zr_CRCReadStream r(in.get(), block);
    for (const std::string& s : segs) {
      std::string got(s.size(), '\0');
      in_pieces(s.size(), [&](size_t at, size_t n) { r.ReadBuf(U(got) + at, n); });
      ASSERT_EQ(got, s);
      r.CheckCRCs();
    }
  }
}

// Any one changed byte is caught at the right checksum: in data block i
// after i good checksums, in stored checksum k after k good ones. A cut
// inside the data or the checksums is missing data; checksum bytes never
// count as data read.
TEST(CRCStreams, EveryCorruptionOrTruncationIsDetectedWhereItIs) {
  const std::string seg = "thirty bytes in four blocks...", clean = Encode({seg}, 8);
  for (size_t p = 0; p < clean.size(); ++p) {
    for (int mask : {0, 0x01, 0x80, 0xff}) {  // 0: cut the stream at p
      SCOPED_TRACE(testing::Message() << "byte " << p << " mask " << mask);
      MemoryFd fd;
      fd.data = mask ? clean : clean.substr(0, p);
      if (mask) fd.data[p] = static_cast<char>(fd.data[p] ^ mask);
      Zr_CRCReadStream r(&fd, 8);
      std::string buf = seg;
      Err thrown = Thrown([&] { r.ReadBuf(U(buf), seg.size()), r.CheckCRCs(); });
      const bool in_data = p < seg.size();
      EXPECT_EQ(r.GetDataRead(), mask == 0 && in_data ? 0 : seg.size());
      EXPECT_EQ(thrown, mask ? Err(EILSEQ, "Failed to read CRC value")
                             : Err(ENODATA, in_data ? kShortData : kShortValue));
      const size_t index = in_data ? p / 8 : (p - seg.size()) / 4;  // of the checksum at fault
      EXPECT_EQ(fd.pos, mask ? seg.size() + 4 * (index + 1) : p);
    }
  }
}

// Bad arguments are refused. A failed data write counts nothing, nor does a
// bogus count (-2), a short one only what arrived; a failed or short checksum write keeps the rest
// queued, and the retry writes exactly those, the final one not twice. Reading that back, a failed
// check retries from the same checksum. Data passed while checksums are pending is refused and
// reported.
TEST(CRCStreams, BadArgumentsAndFailedOrShortTransfersAreThrownAndResumable) {
  for (int64_t short_count : {-1, -2, 0, 2}) {
    SCOPED_TRACE(short_count);
    const size_t arrived = std::max<int64_t>(short_count, 0);
    const int want = short_count == -1 ? ENOSPC : EIO;
    zr_test::AssertRecorder recorder;
    MemoryFd fd;
    EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream(&fd, 0); }).first, EINVAL);
    EXPECT_EQ(Thrown([&] { Zr_CRCReadStream(&fd, 0); }).first, EINVAL);
    EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream(nullptr, 4); }).first, EINVAL);
    EXPECT_EQ(Thrown([&] { Zr_CRCReadStream(nullptr, 4); }).first, EINVAL);
    fd.short_count = short_count;
    Zr_CRCWriteStream w(&fd, 4);
    w.WriteBuf(U("ab"), 2);
    fd.fail_at = fd.calls;
    EXPECT_EQ(Thrown([&] { w.WriteBuf(U("cdef"), 4); }),
              Err(want, "Failed to write to stream from buffer"));
    EXPECT_EQ(w.GetDataWritten(), 2 + arrived);
    w.WriteBuf(U("cdef") + arrived, 4 - arrived);
    fd.fail_at = fd.calls + 1;  // the final block's checksum
    EXPECT_EQ(Thrown([&] { w.WriteCRCs(); }), Err(want, "Failed to write a value"));
    EXPECT_EQ(w.GetDataWritten(), 6 + 4 + arrived);
    EXPECT_EQ(Thrown([&] { w.WriteBuf(U("x"), 1); }).first, EINVAL);
    fd.data.resize(10);  // as a caller would after repositioning
    w.WriteCRCs();
    // Block size 4: abcd is 0x03D8018B, ef 0x013200CC, little-endian.
    EXPECT_EQ(fd.data, std::string("abcdef\x8b\x01\xd8\x03\xcc\x00\x32\x01", 14));

    Zr_CRCReadStream r(&fd, 4);
    std::string buf(6, '\0');
    r.ReadBuf(U(buf), 6);
    fd.short_count = -1;
    fd.fail_at = fd.calls + 1;  // the final block's checksum
    EXPECT_EQ(Thrown([&] { r.CheckCRCs(); }),
              Err(ENOSPC, "IO problem reading value from stream into buffer."));
    EXPECT_EQ(Thrown([&] { r.ReadBuf(U(buf), 1); }).first, EINVAL);
    r.CheckCRCs();
    EXPECT_EQ(fd.pos, 14);
    // updateCRC folds bytes that the caller moved itself.
    w.updateCRC(U("gh"), 2), fd.Write("gh", 2), w.WriteCRCs();
    r.updateCRC(U("gh"), 2), fd.pos += 2, r.CheckCRCs();
    EXPECT_EQ(recorder.Exprs(), std::vector<std::string>(2, "m_block_left != 0"));
  }
}

}  // namespace

#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
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

// An in-memory descriptor that fails on demand: Write or Read call number
// `fail_write` / `fail_read` (from 0) returns -1 with `fail_errno`, or, when
// `fail_count` is not negative, transfers and returns only that many bytes.
class MemoryFd : public Zr_FileDescriptor {
 public:
  std::string data;
  size_t pos = 0;
  int writes = 0, reads = 0, fail_write = -1, fail_read = -1, fail_errno = EIO;
  int64_t fail_count = -1;

  bool IsOpen() override { return true; }
  int64_t Write(void const* buffer, unsigned long count) override {
    if (writes++ == fail_write && !Limit(count)) return -1;
    data.append(static_cast<const char*>(buffer), count);
    return count;
  }
  int64_t Read(void* buffer, unsigned long count) override {
    if (reads++ == fail_read && !Limit(count)) return -1;
    count = std::min(count, data.size() - pos);
    memcpy(buffer, data.data() + pos, count);
    pos += count;
    return count;
  }

 private:
  bool Limit(unsigned long& count) {
    errno = fail_errno;
    count = std::min<unsigned long>(count, fail_count);
    return fail_count >= 0;
  }
};

// The reference encoder: each segment's data, then one zlib Adler-32 per
// block (the final, possibly empty, one included), little-endian.
std::string Encode(const std::vector<std::string>& segments, size_t block) {
  std::string out;
  for (const std::string& seg : segments) {
    out += seg;
    for (size_t at = 0;; at += block) {
      size_t n = std::min(block, seg.size() - at);
      uint32_t v = n == 0 ? 1 : adler32(1, reinterpret_cast<const Bytef*>(seg.data() + at), n);
      for (int i = 0; i < 4; ++i) out += static_cast<char>(v >> (8 * i));
      if (n < block) break;
    }
  }
  return out;
}

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string RandomText(std::mt19937& rng, size_t len) {
  std::string s(len, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Calls fn(offset, n) over [0, len) in random pieces, an empty one at times.
void InPieces(std::mt19937& rng, size_t len, size_t max_piece,
              const std::function<void(size_t, size_t)>& fn) {
  for (size_t at = 0; at < len;) {
    size_t n = std::min<size_t>(len - at, rng() % (max_piece + 1));
    fn(at, n);
    at += n;
  }
  if (rng() % 4 == 0) fn(len, 0);
}

void WriteSegments(Zr_CRCWriteStream& w, const std::vector<std::string>& segments,
                   std::mt19937& rng, size_t max_piece) {
  for (const std::string& seg : segments) {
    InPieces(rng, seg.size(), max_piece, [&](size_t at, size_t n) { w.WriteBuf(U(seg) + at, n); });
    w.WriteCRCs();
  }
}

void ReadSegments(Zr_CRCReadStream& r, const std::vector<std::string>& segments, std::mt19937& rng,
                  size_t max_piece) {
  for (const std::string& seg : segments) {
    std::string got(seg.size(), '\0');
    InPieces(rng, seg.size(), max_piece, [&](size_t at, size_t n) {
      r.ReadBuf(reinterpret_cast<unsigned char*>(&got[at]), n);
    });
    ASSERT_EQ(got, seg);
    r.CheckCRCs();
  }
}

// Errno and message of what `fn` throws; errno -1 when it throws nothing.
std::pair<int, std::string> Thrown(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const Zr_ErrnoException& e) {
    char text[128];
    return {e.GetErrno(), e.GetString(text, sizeof text)};
  }
  return {-1, ""};
}

const std::pair<int, std::string> kMismatch{EILSEQ, "Failed to read CRC value"};
const std::pair<int, std::string> kShortValue{
    ENODATA, "Failed to read all data for value from stream into buffer."};
const std::pair<int, std::string> kShortData{ENODATA,
                                             "Failed to read all data from stream into buffer."};

TEST(CRCStreams, WorkedExamplesAndEmptySegmentComeOutByteForByte) {
  MemoryFd fd;
  Zr_CRCWriteStream w(&fd, 4);
  w.WriteBuf(U("abcdef"), 6);
  w.WriteCRCs();
  EXPECT_EQ(fd.data, std::string("abcdef\x8b\x01\xd8\x03\xcc\x00\x32\x01", 14));
  w.WriteBuf(U("abcdefgh"), 8);
  w.WriteCRCs();
  EXPECT_EQ(fd.data.substr(14 + 16), std::string("\x01\x00\x00\x00", 4));
  w.WriteCRCs();
  w.WriteBuf(U(""), 0);  // still reaches the descriptor, changes nothing
  EXPECT_EQ(fd.writes, (1 + 2) + (1 + 3) + 1 + 1);
  EXPECT_EQ(fd.data, Encode({"abcdef", "abcdefgh", ""}, 4));
  EXPECT_EQ(w.GetDataWritten(), fd.data.size());
}

// Real files through every descriptor class (buffered ones with a small and
// the default buffer, so blocks straddle refills), several block sizes and
// split patterns: the file must hold exactly the reference encoding, and
// reading it back must pass and end exactly at end of file.
TEST(CRCStreams, RealFileRoundTripsThroughEveryDescriptorClass) {
  const std::vector<std::function<Zr_FileDescriptor*()>> kinds = {
      [] { return new Zr_FileDescriptor; }, [] { return new Zr_BufferedFileDescriptor(100); },
      [] { return new Zr_BufferedFileDescriptor; }, [] { return new Zr_StreamFileDescriptor; }};
  zr_test::TempDir dir;
  const std::string path = dir.File("seg");
  std::mt19937 rng(5);
  for (size_t kind = 0; kind < kinds.size(); ++kind) {
    for (size_t block : {1, 3, 100, 4096, 65536}) {
      for (size_t max_piece : {1, 333, 70000}) {
        SCOPED_TRACE(std::to_string(kind) + " " + std::to_string(block) + " " +
                     std::to_string(max_piece));
        // Lengths near multiples of the block as well as arbitrary ones;
        // short when every byte costs a system call.
        std::vector<std::string> segments;
        for (int n = rng() % 4; n >= 0; --n) {
          size_t len = rng() % 2 ? (rng() % 4) * block + rng() % 3 : rng() % (3 * block + 50);
          segments.push_back(RandomText(rng, std::min<size_t>(len, max_piece == 1 ? 3000 : len)));
        }
        std::unique_ptr<Zr_FileDescriptor> out(kinds[kind]());
        ASSERT_GE(out->Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 0);
        Zr_CRCWriteStream w(out.get(), block);
        WriteSegments(w, segments, rng, max_piece);
        ASSERT_EQ(out->Close(), 0);
        ASSERT_EQ(zr_test::ReadFileContents(path), Encode(segments, block));

        std::unique_ptr<Zr_FileDescriptor> in(kinds[kind]());
        ASSERT_GE(in->Open(path.c_str(), O_RDONLY), 0);
        Zr_CRCReadStream r(in.get(), block);
        ReadSegments(r, segments, rng, max_piece);
        char extra;
        EXPECT_EQ(in->Read(&extra, 1), 0);
      }
    }
  }
}

// Any one changed byte of the second segment is caught at the right
// checksum: a data byte of block i after i good checksums, a stored
// checksum k after k good ones.
TEST(CRCStreams, EverySingleByteCorruptionIsDetectedAtItsBlock) {
  const size_t block = 8;
  std::mt19937 rng(9);
  const std::string first = RandomText(rng, 13), second = RandomText(rng, 30);
  const std::string clean = Encode({first, second}, block);
  const size_t start = first.size() + 4 * 2;
  for (size_t p = start; p < clean.size(); ++p) {
    for (unsigned char mask : {0x01, 0x80, 0xff}) {
      MemoryFd fd;
      fd.data = clean;
      fd.data[p] = static_cast<char>(fd.data[p] ^ mask);
      Zr_CRCReadStream r(&fd, block);
      ReadSegments(r, {first}, rng, 5);
      std::string buf(second.size(), '\0');
      r.ReadBuf(reinterpret_cast<unsigned char*>(&buf[0]), buf.size());
      ASSERT_EQ(Thrown([&] { r.CheckCRCs(); }), kMismatch) << "byte " << p;
      size_t off = p - start;
      size_t index = off < second.size() ? off / block : (off - second.size()) / 4;
      EXPECT_EQ(fd.pos, start + second.size() + 4 * (index + 1)) << "byte " << p;
    }
  }
}

TEST(CRCStreams, TruncationIsReportedAsMissingData) {
  const std::string seg = "0123456789abcdefghij";  // B = 6: 4 checksums
  const std::string clean = Encode({seg}, 6);
  for (size_t cut = 0; cut < clean.size(); ++cut) {
    MemoryFd fd;
    fd.data = clean.substr(0, cut);
    Zr_CRCReadStream r(&fd, 6);
    unsigned char buf[20];
    EXPECT_EQ(Thrown([&] {
                r.ReadBuf(buf, sizeof buf);
                r.CheckCRCs();
              }),
              cut < seg.size() ? kShortData : kShortValue)
        << cut;
    EXPECT_EQ(r.GetDataRead(), cut < seg.size() ? 0u : seg.size());
  }
}

TEST(CRCStreams, BlockSizeZeroAndNullStreamAreRejected) {
  MemoryFd fd;
  EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream w(&fd, 0); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCReadStream r(&fd, 0); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream w(nullptr, 4); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCReadStream r(nullptr, 4); }).first, EINVAL);
}

// A failed data write changes nothing; a short one counts and folds only
// what arrived, so writing the rest still completes a correct segment.
TEST(CRCStreams, FailedOrShortDataWriteIsThrownAndResumable) {
  for (int64_t fail_count : {-1, 0, 3}) {
    MemoryFd fd;
    Zr_CRCWriteStream w(&fd, 4);
    w.WriteBuf(U("ab"), 2);
    fd.fail_write = fd.writes;
    fd.fail_count = fail_count;
    fd.fail_errno = ENOSPC;
    EXPECT_EQ(Thrown([&] { w.WriteBuf(U("cdefg"), 5); }),
              std::make_pair(fail_count < 0 ? ENOSPC : EIO,
                             std::string("Failed to write to stream from buffer")));
    size_t arrived = std::max<int64_t>(fail_count, 0);
    EXPECT_EQ(w.GetDataWritten(), 2 + arrived);
    w.WriteBuf(U("cdefg") + arrived, 5 - arrived);
    w.WriteCRCs();
    EXPECT_EQ(fd.data, Encode({"abcdefg"}, 4)) << fail_count;
  }
}

// A checksum write that fails or falls short keeps the rest queued; the
// retry writes exactly the missing checksums, never the final one twice.
// Data in between would land among the checksums: refused and reported.
TEST(CRCStreams, FailedChecksumWriteRetriesWithoutDuplicates) {
  for (int64_t fail_count : {-1, 0, 2}) {
    MemoryFd fd;
    Zr_CRCWriteStream w(&fd, 4);
    w.WriteBuf(U("abcdefghij"), 10);  // checksums: abcd, efgh, ij
    fd.fail_write = fd.writes + 1;    // the second checksum
    fd.fail_count = fail_count;
    fd.fail_errno = EAGAIN;
    EXPECT_EQ(
        Thrown([&] { w.WriteCRCs(); }),
        std::make_pair(fail_count < 0 ? EAGAIN : EIO, std::string("Failed to write a value")));
    EXPECT_EQ(w.GetDataWritten(), 10u + 4u + std::max<int64_t>(fail_count, 0));
    {
      zr_test::AssertRecorder recorder;
      EXPECT_EQ(Thrown([&] { w.WriteBuf(U("x"), 1); }).first, EINVAL);
      EXPECT_EQ(recorder.Exprs(), std::vector<std::string>{"m_block_left != 0"});
    }
    fd.data.resize(14);  // as a caller would after repositioning
    w.WriteCRCs();
    w.WriteBuf(U("xy"), 2);
    w.WriteCRCs();
    EXPECT_EQ(fd.data, Encode({"abcdefghij", "xy"}, 4)) << fail_count;
  }
}

// Failed reads change no count; a check that failed on a read error goes on
// from the same checksum when retried, and the next segment reads cleanly.
TEST(CRCStreams, FailingReadsKeepStateAndCheckRetriesFromTheFailedValue) {
  MemoryFd fd;
  fd.data = Encode({"abcdefghij", "xy"}, 4);
  Zr_CRCReadStream r(&fd, 4);
  unsigned char buf[10];
  fd.fail_read = 0;
  fd.fail_errno = EINTR;
  EXPECT_EQ(Thrown([&] { r.ReadBuf(buf, 10); }),
            std::make_pair(EINTR, std::string("IO problem reading data from stream into buffer.")));
  EXPECT_EQ(r.GetDataRead(), 0u);
  r.ReadBuf(buf, 10);
  fd.fail_read = fd.reads + 1;  // the second stored checksum
  EXPECT_EQ(
      Thrown([&] { r.CheckCRCs(); }),
      std::make_pair(EINTR, std::string("IO problem reading value from stream into buffer.")));
  {
    zr_test::AssertRecorder recorder;
    EXPECT_EQ(Thrown([&] { r.ReadBuf(buf, 1); }).first, EINVAL);
    EXPECT_EQ(recorder.Count(), 1u);
  }
  r.CheckCRCs();
  r.ReadBuf(buf, 2);
  r.CheckCRCs();
  EXPECT_EQ(r.GetDataRead(), 12u);
  EXPECT_EQ(fd.pos, fd.data.size());
}

}  // namespace

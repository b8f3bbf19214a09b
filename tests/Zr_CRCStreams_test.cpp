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

typedef std::vector<unsigned char> Bytes;

// An in-memory descriptor that fails on demand: the n-th Write or Read call
// (counting from 0) returns -1 with `fail_errno`, or a short count.
class MemoryFd : public Zr_FileDescriptor {
 public:
  std::string data;
  size_t pos = 0;
  int writes = 0, reads = 0;
  int fail_write = -1, fail_read = -1;
  int64_t fail_count = -1;  // what the failing call returns
  int fail_errno = EIO;

  bool IsOpen() override { return true; }
  int64_t Write(void const* buffer, unsigned long count) override {
    if (writes++ == fail_write) return Fail(count, [&](size_t n) { Append(buffer, n); });
    Append(buffer, count);
    return count;
  }
  int64_t Read(void* buffer, unsigned long count) override {
    if (reads++ == fail_read) return Fail(count, [&](size_t n) { Take(buffer, n); });
    return Take(buffer, count);
  }

 private:
  int64_t Fail(unsigned long count, const std::function<void(size_t)>& partial) {
    if (fail_count < 0) {
      errno = fail_errno;
      return -1;
    }
    partial(std::min<size_t>(fail_count, count));
    return fail_count;
  }
  void Append(void const* buffer, size_t n) { data.append(static_cast<const char*>(buffer), n); }
  int64_t Take(void* buffer, size_t n) {
    n = std::min(n, data.size() - pos);
    memcpy(buffer, data.data() + pos, n);
    pos += n;
    return n;
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

// Splits [0, len) into random pieces, empty ones included.
std::vector<size_t> Splits(std::mt19937& rng, size_t len, size_t max_piece) {
  std::vector<size_t> pieces;
  for (size_t at = 0; at < len;) {
    size_t n = std::min<size_t>(len - at, rng() % (max_piece + 1));
    pieces.push_back(n);
    at += n;
  }
  if (rng() % 4 == 0) pieces.push_back(0);
  return pieces;
}

void WriteSegments(Zr_CRCWriteStream& w, const std::vector<std::string>& segments,
                   std::mt19937& rng, size_t max_piece) {
  for (const std::string& seg : segments) {
    size_t at = 0;
    for (size_t n : Splits(rng, seg.size(), max_piece)) {
      w.WriteBuf(U(seg) + at, n);
      at += n;
    }
    w.WriteCRCs();
  }
}

void ReadSegments(Zr_CRCReadStream& r, const std::vector<std::string>& segments, std::mt19937& rng,
                  size_t max_piece) {
  for (const std::string& seg : segments) {
    std::string got(seg.size(), '\0');
    size_t at = 0;
    for (size_t n : Splits(rng, seg.size(), max_piece)) {
      r.ReadBuf(reinterpret_cast<unsigned char*>(&got[at]), n);
      at += n;
    }
    ASSERT_EQ(got, seg);
    r.CheckCRCs();
  }
}

std::string RandomText(std::mt19937& rng, size_t len) {
  std::string s(len, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
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

TEST(CRCStreams, WorkedExamplesAndEmptySegmentComeOutByteForByte) {
  MemoryFd fd;
  Zr_CRCWriteStream w(&fd, 4);
  w.WriteBuf(U("abcdef"), 6);
  w.WriteCRCs();
  EXPECT_EQ(fd.data, std::string("abcdef\x8b\x01\xd8\x03\xcc\x00\x32\x01", 14));
  EXPECT_EQ(w.GetDataWritten(), 14u);

  fd.data.clear();
  w.WriteBuf(U("abcdefgh"), 8);
  w.WriteCRCs();
  EXPECT_EQ(fd.data, Encode({"abcdefgh"}, 4));
  EXPECT_EQ(fd.data.substr(16), std::string("\x01\x00\x00\x00", 4));

  fd.data.clear();
  w.WriteCRCs();
  EXPECT_EQ(fd.data, std::string("\x01\x00\x00\x00", 4));
  EXPECT_EQ(w.GetDataWritten(), 14u + 20u + 4u);
  EXPECT_EQ(w.GetStream(), &fd);

  // A zero-length WriteBuf still reaches the descriptor and changes nothing.
  int writes = fd.writes;
  w.WriteBuf(U(""), 0);
  EXPECT_EQ(fd.writes, writes + 1);

  Zr_CRCReadStream r(&fd, 4);
  r.CheckCRCs();
  EXPECT_EQ(r.GetDataRead(), 0u);
  EXPECT_EQ(r.GetStream(), &fd);
}

TEST(CRCStreams, WriterMatchesModelAndReaderAcceptsItForRandomSplits) {
  std::mt19937 rng(31);
  for (size_t block : {1, 3, 4, 64, 100, 4096, 65536}) {
    for (int round = 0; round < 12; ++round) {
      std::vector<std::string> segments;
      size_t data = 0;
      for (int s = rng() % 4; s >= 0; --s) {
        // Lengths near multiples of the block as well as arbitrary ones.
        size_t len = rng() % 2 ? (rng() % 4) * block + rng() % 3 : rng() % (3 * block + 50);
        segments.push_back(RandomText(rng, std::min<size_t>(len, 300000)));
        data += segments.back().size();
      }
      SCOPED_TRACE("block " + std::to_string(block) + " round " + std::to_string(round));
      MemoryFd fd;
      Zr_CRCWriteStream w(&fd, block);
      WriteSegments(w, segments, rng, block + 7);
      const std::string want = Encode(segments, block);
      ASSERT_EQ(fd.data, want);
      EXPECT_EQ(w.GetDataWritten(), want.size());

      Zr_CRCReadStream r(&fd, block);
      ReadSegments(r, segments, rng, 2 * block + 1);
      EXPECT_EQ(r.GetDataRead(), data);
      EXPECT_EQ(fd.pos, want.size());
    }
  }
}

// Real files through every descriptor class (buffered ones with a small and
// the default buffer, so blocks straddle refills), several block sizes and
// split patterns; the file must hold exactly the model's bytes.
TEST(CRCStreams, RealFileRoundTripsThroughEveryDescriptorClass) {
  const std::vector<std::pair<std::string, std::function<Zr_FileDescriptor*()>>> kinds = {
      {"plain", [] { return new Zr_FileDescriptor; }},
      {"buffered-100", [] { return new Zr_BufferedFileDescriptor(100); }},
      {"buffered-default", [] { return new Zr_BufferedFileDescriptor; }},
      {"stdio", [] { return new Zr_StreamFileDescriptor; }},
  };
  zr_test::TempDir dir;
  std::mt19937 rng(5);
  for (const auto& kind : kinds) {
    for (size_t block : {1, 7, 4096, 65536}) {
      for (size_t max_piece : {1, 333, 70000}) {
        SCOPED_TRACE(kind.first + " block " + std::to_string(block) + " pieces " +
                     std::to_string(max_piece));
        const size_t big = block == 1 || max_piece == 1 ? 3000 : 150000;
        std::vector<std::string> segments = {RandomText(rng, big), "", RandomText(rng, block),
                                             RandomText(rng, block + 1)};
        const std::string path = dir.File("seg");
        std::unique_ptr<Zr_FileDescriptor> out(kind.second());
        ASSERT_GE(out->Open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 0);
        {
          Zr_CRCWriteStream w(out.get(), block);
          WriteSegments(w, segments, rng, max_piece);
        }
        ASSERT_EQ(out->Close(), 0);
        ASSERT_EQ(zr_test::ReadFileContents(path), Encode(segments, block));

        std::unique_ptr<Zr_FileDescriptor> in(kind.second());
        ASSERT_GE(in->Open(path.c_str(), O_RDONLY), 0);
        Zr_CRCReadStream r(in.get(), block);
        ReadSegments(r, segments, rng, max_piece);
        char extra;
        EXPECT_EQ(in->Read(&extra, 1), 0);
      }
    }
  }
}

// Flipping any one byte of a two-segment stream is caught at the right
// checksum: a data byte of block i after i good checksums, a stored
// checksum k after k good ones. The first segment stays clean either way.
TEST(CRCStreams, EverySingleByteCorruptionIsDetectedAtItsBlock) {
  const size_t block = 8;
  std::mt19937 rng(9);
  const std::vector<std::string> segments = {RandomText(rng, 13), RandomText(rng, 30)};
  const std::string clean = Encode(segments, block);
  const size_t second = segments[0].size() + 4 * 2;
  const size_t data_len = segments[1].size();
  for (size_t p = second; p < clean.size(); ++p) {
    for (unsigned char mask : {0x01, 0x80, 0xff}) {
      MemoryFd fd;
      fd.data = clean;
      fd.data[p] = static_cast<char>(fd.data[p] ^ mask);
      Zr_CRCReadStream r(&fd, block);
      ReadSegments(r, {segments[0]}, rng, 5);
      std::string buf(data_len, '\0');
      r.ReadBuf(reinterpret_cast<unsigned char*>(&buf[0]), data_len);
      ASSERT_EQ(Thrown([&] { r.CheckCRCs(); }), kMismatch) << "byte " << p;
      size_t off = p - second;
      size_t index = off < data_len ? off / block : (off - data_len) / 4;
      EXPECT_EQ(fd.pos, second + data_len + 4 * (index + 1)) << "byte " << p;
    }
  }
}

TEST(CRCStreams, TruncationIsReportedAsMissingData) {
  const std::string seg = "0123456789abcdefghij";  // 20 bytes, B = 6: 4 checksums
  const std::string clean = Encode({seg}, 6);
  for (size_t cut = 0; cut < clean.size(); ++cut) {
    MemoryFd fd;
    fd.data = clean.substr(0, cut);
    Zr_CRCReadStream r(&fd, 6);
    unsigned char buf[20];
    auto thrown = Thrown([&] {
      r.ReadBuf(buf, sizeof buf);
      r.CheckCRCs();
    });
    if (cut < seg.size()) {
      EXPECT_EQ(thrown,
                std::make_pair(int(ENODATA), std::string("Failed to read all data from stream into "
                                                         "buffer.")))
          << cut;
      EXPECT_EQ(r.GetDataRead(), 0u);
    } else {
      EXPECT_EQ(thrown, kShortValue) << cut;
      EXPECT_EQ(r.GetDataRead(), seg.size());
    }
  }
}

TEST(CRCStreams, BlockSizeZeroAndNullStreamAreRejected) {
  MemoryFd fd;
  EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream w(&fd, 0); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCReadStream r(&fd, 0); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCWriteStream w(nullptr, 4); }).first, EINVAL);
  EXPECT_EQ(Thrown([&] { Zr_CRCReadStream r(nullptr, 4); }).first, EINVAL);
}

TEST(CRCStreams, FailedDataWriteChangesNothingAndShortWriteIsNotSuccess) {
  MemoryFd fd;
  Zr_CRCWriteStream w(&fd, 4);
  w.WriteBuf(U("ab"), 2);
  fd.fail_write = fd.writes;
  fd.fail_errno = ENOSPC;
  EXPECT_EQ(Thrown([&] { w.WriteBuf(U("cdef"), 4); }),
            std::make_pair(int(ENOSPC), std::string("Failed to write to stream from buffer")));
  EXPECT_EQ(w.GetDataWritten(), 2u);
  w.WriteBuf(U("cdef"), 4);
  w.WriteCRCs();
  EXPECT_EQ(fd.data, Encode({"abcdef"}, 4));

  // A short count: only the bytes that arrived are counted and folded, so
  // writing the rest afterwards still gives a correct segment.
  MemoryFd shorty;
  Zr_CRCWriteStream s(&shorty, 4);
  shorty.fail_write = 0;
  shorty.fail_count = 3;
  EXPECT_EQ(Thrown([&] { s.WriteBuf(U("abcdef"), 6); }),
            std::make_pair(int(EIO), std::string("Failed to write to stream from buffer")));
  EXPECT_EQ(s.GetDataWritten(), 3u);
  s.WriteBuf(U("def"), 3);
  s.WriteCRCs();
  EXPECT_EQ(shorty.data, Encode({"abcdef"}, 4));
}

// A checksum write that fails keeps the rest queued; a retry writes exactly
// the missing checksums, never the final one twice, and a new segment
// follows correctly.
TEST(CRCStreams, FailedChecksumWriteRetriesWithoutDuplicates) {
  for (int64_t fail_count : {-1, 0, 2}) {
    MemoryFd fd;
    Zr_CRCWriteStream w(&fd, 4);
    w.WriteBuf(U("abcdefghij"), 10);  // checksums: abcd, efgh, ij
    fd.fail_write = fd.writes + 1;    // the second checksum
    fd.fail_count = fail_count;
    fd.fail_errno = EAGAIN;
    auto thrown = Thrown([&] { w.WriteCRCs(); });
    EXPECT_EQ(thrown.first, fail_count < 0 ? EAGAIN : EIO);
    EXPECT_EQ(thrown.second, "Failed to write a value");
    EXPECT_EQ(w.GetDataWritten(), 10u + 4u + std::max<int64_t>(fail_count, 0));
    // Drop the partial bytes a short write left, as a caller would after
    // repositioning the descriptor.
    fd.data.resize(14);
    w.WriteCRCs();
    w.WriteBuf(U("xy"), 2);
    w.WriteCRCs();
    EXPECT_EQ(fd.data, Encode({"abcdefghij", "xy"}, 4)) << fail_count;
  }
}

TEST(CRCStreams, DataAfterAnUnfinishedCheckIsRefusedAndReported) {
  MemoryFd fd;
  Zr_CRCWriteStream w(&fd, 4);
  w.WriteBuf(U("abc"), 3);
  fd.fail_write = fd.writes;
  EXPECT_EQ(Thrown([&] { w.WriteCRCs(); }).first, EIO);
  zr_test::AssertRecorder recorder;
  EXPECT_EQ(Thrown([&] { w.WriteBuf(U("d"), 1); }).first, EINVAL);
  EXPECT_EQ(recorder.Exprs(), std::vector<std::string>{"m_block_left != 0"});
  EXPECT_EQ(fd.data, "abc");

  MemoryFd in;
  in.data = "abc";
  Zr_CRCReadStream r(&in, 4);
  unsigned char buf[3];
  r.ReadBuf(buf, 3);
  EXPECT_EQ(Thrown([&] { r.CheckCRCs(); }), kShortValue);
  EXPECT_EQ(Thrown([&] { r.ReadBuf(buf, 1); }).first, EINVAL);
  EXPECT_EQ(recorder.Count(), 2u);
}

TEST(CRCStreams, FailingReadsKeepStateAndCheckRetriesFromTheFailedValue) {
  const std::string seg = "abcdefghij";
  MemoryFd fd;
  fd.data = Encode({seg, "xy"}, 4);
  Zr_CRCReadStream r(&fd, 4);
  unsigned char buf[10];
  fd.fail_read = 0;
  fd.fail_errno = EINTR;
  EXPECT_EQ(
      Thrown([&] { r.ReadBuf(buf, 10); }),
      std::make_pair(int(EINTR), std::string("IO problem reading data from stream into buffer.")));
  EXPECT_EQ(r.GetDataRead(), 0u);
  r.ReadBuf(buf, 10);
  fd.fail_read = fd.reads + 1;  // the second stored checksum
  EXPECT_EQ(
      Thrown([&] { r.CheckCRCs(); }),
      std::make_pair(int(EINTR), std::string("IO problem reading value from stream into buffer.")));
  r.CheckCRCs();
  r.ReadBuf(buf, 2);
  r.CheckCRCs();
  EXPECT_EQ(r.GetDataRead(), 12u);
  EXPECT_EQ(fd.pos, fd.data.size());
}

}  // namespace

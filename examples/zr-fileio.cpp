// zr-fileio: the file descriptor classes at work. Writes records through a
// buffered descriptor, copies the file into a stdio stream descriptor with
// Copy, reads it back with Zr_ReadBuf, and shows a short read turning into
// an exception. Works in a private temporary directory it removes again.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "zrshared.h"

namespace {

struct Record {
  uint32_t id;
  char name[12];
};

int Fail(const char* what) {
  fprintf(stderr, "zr-fileio: %s: %s\n", what, strerror(errno));
  return 1;
}

}  // namespace

int main() {
  char dir[] = "/tmp/zr-fileio.XXXXXX";
  if (mkdtemp(dir) == nullptr) return Fail("mkdtemp");
  const std::string records = std::string(dir) + "/records";
  const std::string copy = std::string(dir) + "/copy";

  // 10,000 small writes, a handful of write(2) calls.
  Zr_BufferedFileDescriptor out;
  if (out.Open(records.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) < 0) return Fail("open");
  for (uint32_t i = 0; i < 10000; ++i) {
    Record r = {i, {}};
    snprintf(r.name, sizeof r.name, "rec-%u", i);
    out.Write(&r, sizeof r);
  }
  printf("buffered: %u records written, %s pending before Close\n", 10000u,
         out.IsDirty() ? "some" : "none");
  if (out.Close() != 0) return Fail("close");

  // Any descriptor class can be the source or the target of a Copy.
  Zr_FileDescriptor in;
  Zr_StreamFileDescriptor stream;
  if (in.Open(records.c_str(), O_RDONLY) < 0) return Fail("open records");
  if (stream.Open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644) < 0) return Fail("open copy");
  char scratch[4096];
  if (stream.Copy(in, -1, scratch, sizeof scratch) != 0) return Fail("copy");
  struct stat st;
  stream.Flush();
  stream.Stat(&st);
  printf("stream:   copied %lld bytes through stdio\n", static_cast<long long>(st.st_size));

  // Whole-buffer reads: all the bytes or an exception.
  Record last;
  stream.Seek(-static_cast<long>(sizeof last), SEEK_END);
  Zr_ReadBuf(stream, reinterpret_cast<unsigned char*>(&last), sizeof last);
  printf("readbuf:  last record %u \"%s\"\n", last.id, last.name);
  try {
    Zr_ReadBuf(stream, reinterpret_cast<unsigned char*>(&last), sizeof last);
  } catch (const Zr_ErrnoException& e) {
    char text[128];
    printf("readbuf:  past the end: errno %d, \"%s\"\n", e.GetErrno(),
           e.GetString(text, sizeof text));
  }

  stream.Close();
  in.Close();
  unlink(records.c_str());
  unlink(copy.c_str());
  rmdir(dir);
  return 0;
}

// Helpers shared by the descriptor tests.
#ifndef ZR_FILEIO_TEST_UTIL_H
#define ZR_FILEIO_TEST_UTIL_H

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <stdexcept>
#include <string>

namespace zr_test {

// `size` bytes that differ from offset to offset and from seed to seed, so a
// byte at a wrong offset shows.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

inline void WriteFile(const std::string& path, const std::string& contents) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, contents.data(), contents.size()) != ssize_t(contents.size()))
    throw std::runtime_error("cannot write " + path);
  close(fd);
}

// errno right after a call that returned -1, else 0:
// EXPECT_EQ(ErrnoOf(fd.Read(...)), EBADF).
template <typename R>
int ErrnoOf(R result) {
  return result == static_cast<R>(-1) ? errno : 0;
}

}  // namespace zr_test

#endif  // ZR_FILEIO_TEST_UTIL_H

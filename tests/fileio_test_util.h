// Helpers shared by the descriptor tests.
#ifndef ZR_FILEIO_TEST_UTIL_H
#define ZR_FILEIO_TEST_UTIL_H

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace zr_test {

// Bytes that differ from offset to offset and from seed to seed.
inline std::string Pattern(size_t size, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// A `T` built from `args`, open with `flags` on `path`, which holds `contents`.
template <typename T, typename... Args>
std::unique_ptr<T> OpenWith(const std::string& path, const std::string& contents, int flags,
                            Args... args) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
  auto fd = std::make_unique<T>(args...);
  EXPECT_GE(fd->Open(path.c_str(), flags), 0) << path;
  return fd;
}

// Calls with the errno each left (see ErrnoOf), each named by its own text
// through NAMED_ERRNO(call), so that a failure names the call.
using NamedErrnos = std::vector<std::pair<const char*, int>>;
#define NAMED_ERRNO(call) std::pair<const char*, int>(#call, ErrnoOf(call))
inline void ExpectErrnos(const NamedErrnos& calls, int want) {
  for (const auto& [name, got] : calls) EXPECT_EQ(got, want) << name;
}

}  // namespace zr_test

#endif  // ZR_FILEIO_TEST_UTIL_H

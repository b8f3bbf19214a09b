// zr-demo: a tour of libzrshared's basics. Prints the version and the
// identification string, keeps a few records on an intrusive list, shows a
// misuse reported through a custom assertion hook, and throws and catches
// the library's exception.
#include <cstdio>

#include "zrshared.h"

namespace {

struct Job : Zr_DList<Job>::Zr_item {
  explicit Job(const char* n) : name(n) {}
  const char* name;
};

void PrintAssert(const char* expr, const char* file, int line, const char* function) {
  std::printf("  assertion hook: %s\n    at %s:%d\n    in %s\n", expr, file, line, function);
}

}  // namespace

int main() {
  std::printf("libzrshared %s (headers %s)\n%s\n\n", zrshared_version(), ZRSHARED_VERSION_STRING,
              &TVO_KOVA_STATIC_TEXT[1]);

  Job a("index"), b("compact"), c("verify");
  Zr_DList<Job> queue;
  queue.Append(&a);
  queue.Append(&b);
  queue.Prepend(&c);
  std::printf("queue of %llu jobs:", static_cast<unsigned long long>(queue.GetCount()));
  for (Job* j = queue.m_begin; j != nullptr; j = j->m_next) std::printf(" %s", j->name);
  std::printf("\n");

  tvo_assert_handler_t previous = tvo_set_assert_handler(PrintAssert);
  std::printf("appending a job that is already queued:\n");
  queue.Append(&a);  // still linked: reported three times, refused, and the program goes on
  tvo_set_assert_handler(previous);

  while (Job* j = queue.RemoveFirst()) std::printf("ran %s\n", j->name);

  try {
    throw Zr_ErrnoException(EILSEQ, "Failed to read CRC value");
  } catch (const Zr_ErrnoException& e) {
    char text[128];
    std::printf("caught: errno %d, \"%s\"\n", e.GetErrno(), e.GetString(text, sizeof text));
  }
  return 0;
}

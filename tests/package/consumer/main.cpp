// A minimal program built against an installed libzrshared.
#include <tvo/revision.h>

#include <cstdio>
#include <cstring>

#include "zr_dlist.h"
#include "zrshared.h"

struct Item : Zr_DList<Item>::Zr_item {};

int main() {
  Zr_DList<Item> list;
  Item it;
  list.Append(&it);
  bool ok =
      list.RemoveFirst() == &it && std::strcmp(zrshared_version(), ZRSHARED_VERSION_STRING) == 0;
  try {
    throw Zr_ErrnoException(EIO, "consumer");
  } catch (const Zr_ErrnoException& e) {
    ok = ok && e.GetErrno() == EIO;
  }
  std::puts(ok ? "consumer ok" : "consumer FAILED");
  return ok ? 0 : 1;
}

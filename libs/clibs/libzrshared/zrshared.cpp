// Library-wide identification and the home of the header-only classes'
// run-time type data.
#include "zrshared.h"

#include <typeinfo>

TVO_REVISION_IDENT();

extern "C" const char* zrshared_version(void) { return ZRSHARED_VERSION_STRING; }

// Zr_ErrnoException is header-only; naming its type and building one here
// emits its vtable and type info into libzrshared.so, exported like every
// other class's, so a throw from any unit and a catch in a program agree.
__attribute__((used)) static const std::type_info& kErrnoExceptionType = typeid(Zr_ErrnoException);
__attribute__((used, noinline)) static int ErrnoExceptionKeyUse(int e) {
  return Zr_ErrnoException(e).GetErrno();
}

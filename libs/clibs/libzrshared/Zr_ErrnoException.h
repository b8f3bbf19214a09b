// Zr_ErrnoException: the one exception type libzrshared throws.
//
// It carries a POSIX error number and, where the thrower has one, a short
// message of its own (at most 127 characters; a longer text is cut). Thrown
// by value; catch it by reference. It does not derive from std::exception.
//
//   try {
//     Zr_ReadBuf(fd, buf, len);
//   } catch (const Zr_ErrnoException& e) {
//     char text[128];
//     fprintf(stderr, "read failed: %s (errno %d)\n", e.GetString(text, sizeof text),
//             e.GetErrno());
//   }
//
// Neither operation throws or changes errno. An object never changes after
// construction, so any number of threads may call its operations at once.
#ifndef ZR_ERRNOEXCEPTION_H
#define ZR_ERRNOEXCEPTION_H

#include <errno.h>
#include <string.h>
#include <tvo/revision.h>
#include <tvo/tvo_string.h>

class Zr_ErrnoException {
 public:
  // An exception with the number `errnum` (0 is stored as it is) and no
  // message of its own.
  explicit Zr_ErrnoException(int errnum) : m_errno(errnum) { m_message[0] = '\0'; }

  // An exception with the number `errnum` and the first 127 characters of
  // `message` (null counts as no message).
  Zr_ErrnoException(int errnum, const char* message) : m_errno(errnum) {
    tvostrcpy(m_message, message, sizeof m_message);
  }

  virtual ~Zr_ErrnoException() {}

  // The error number; a stored 0 is reported as EOVERFLOW, so a catcher never
  // sees 0.
  virtual int GetErrno() const { return m_errno == 0 ? EOVERFLOW : m_errno; }

  // Writes a NUL-terminated text into `buf` (`size` bytes) and returns `buf`:
  // the exception's own message when it has one, otherwise the system's text
  // for the stored number (strerror_r; a 0 is not replaced here). A text
  // longer than size - 1 is cut. With no text at all, and a non-null `buf`
  // and non-zero `size`, `buf` becomes the empty string. A null `buf` or a
  // `size` of 0 receives nothing.
  virtual char* GetString(char* buf, unsigned long size) const {
    if (m_message[0] != '\0') {
      tvostrcpy(buf, m_message, size);
      return buf;
    }
    // The GNU strerror_r may build the text (say, for an unknown number) in
    // the scratch buffer, so such a text is at most 63 characters.
    char scratch[64];
    const char* text = ::strerror_r(m_errno, scratch, sizeof scratch);
    if (text != NULL) {
      tvostrcpy(buf, text, size);
    } else if (buf != NULL && size != 0) {
      buf[0] = '\0';
    }
    return buf;
  }

 protected:
  int m_errno;          // the error number as given; 0 is kept
  char m_message[128];  // NUL-terminated message; empty for none
};

#endif  // ZR_ERRNOEXCEPTION_H

#include "Zr_CRCWriteStream.h"

#include <errno.h>
#include <tvo/tvo_assert.h>

#include "Zr_Adler32.h"
#include "internal/zr_adler32.h"

TVO_REVISION_IDENT();

Zr_CRCWriteStream::Zr_CRCWriteStream(Zr_FileDescriptor* stream, unsigned long block_size)
    : m_stream(stream),
      m_block_size(block_size),
      m_block_left(block_size),
      m_crc(ZR_ADLER32_INIT),
      m_data_written(0) {
  // A block size of 0 could never place a byte in a block.
  if (stream == NULL || block_size == 0) throw Zr_ErrnoException(EINVAL);
}

Zr_CRCWriteStream::~Zr_CRCWriteStream() {}

Zr_FileDescriptor* Zr_CRCWriteStream::GetStream() { return m_stream; }

unsigned long Zr_CRCWriteStream::GetDataWritten() { return m_data_written; }

void Zr_CRCWriteStream::WriteBuf(const unsigned char* data, unsigned long len) {
  if (!TVO_CHECK(m_block_left != 0)) throw Zr_ErrnoException(EINVAL);
  int64_t written = Zr_WriteBuf(*m_stream, data, len);
  if (written != static_cast<int64_t>(len)) {
    // The descriptor holds only part of the data: account for exactly that
    // part, so the checksums keep describing what is on the stream, and
    // refuse to report success.
    if (written > 0 && written < static_cast<int64_t>(len)) {
      m_data_written += written;
      zr_adler32_blocks(m_block_size, m_block_left, m_crc, m_crcs, data, written);
    }
    throw Zr_ErrnoException(EIO, "Failed to write to stream from buffer");
  }
  m_data_written += written;
  zr_adler32_blocks(m_block_size, m_block_left, m_crc, m_crcs, data, len);
}

void Zr_CRCWriteStream::WriteCRCs() {
  if (m_block_left != 0) {
    m_crcs.push_back(m_crc);
    m_block_left = 0;
  }
  while (!m_crcs.empty()) {
    const uint32_t value = m_crcs.front();
    const unsigned char le[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    int64_t written = m_stream->Write(le, sizeof le);
    if (written == -1) throw Zr_ErrnoException(errno, "Failed to write a value");
    if (written != static_cast<int64_t>(sizeof le)) {
      if (written > 0 && written < static_cast<int64_t>(sizeof le)) m_data_written += written;
      throw Zr_ErrnoException(EIO, "Failed to write a value");
    }
    m_data_written += written;
    m_crcs.pop_front();
  }
  m_block_left = m_block_size;
  m_crc = ZR_ADLER32_INIT;
}

void Zr_CRCWriteStream::updateCRC(const unsigned char* data, unsigned long len) {
  zr_adler32_blocks(m_block_size, m_block_left, m_crc, m_crcs, data, len);
}

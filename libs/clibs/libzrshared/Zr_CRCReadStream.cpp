#include "Zr_CRCReadStream.h"

#include <errno.h>
#include <tvo/tvo_assert.h>

#include "Zr_Adler32.h"
#include "internal/zr_adler32.h"

TVO_REVISION_IDENT();

Zr_CRCReadStream::Zr_CRCReadStream(Zr_FileDescriptor* stream, unsigned long block_size)
    : m_stream(stream),
      m_block_size(block_size),
      m_block_left(block_size),
      m_crc(ZR_ADLER32_INIT),
      m_data_read(0) {
  // A block size of 0 could never place a byte in a block.
  if (stream == NULL || block_size == 0) throw Zr_ErrnoException(EINVAL);
}

Zr_CRCReadStream::~Zr_CRCReadStream() {}

Zr_FileDescriptor* Zr_CRCReadStream::GetStream() { return m_stream; }

unsigned long Zr_CRCReadStream::GetDataRead() { return m_data_read; }

void Zr_CRCReadStream::ReadBuf(unsigned char* buf, unsigned long len) {
  if (!TVO_CHECK(m_block_left != 0)) throw Zr_ErrnoException(EINVAL);
  Zr_ReadBuf(*m_stream, buf, len);
  m_data_read += len;
  zr_adler32_blocks(m_block_size, m_block_left, m_crc, m_crcs, buf, len);
}

void Zr_CRCReadStream::CheckCRCs() {
  if (m_block_left != 0) {
    m_crcs.push_back(m_crc);
    m_block_left = 0;
  }
  while (!m_crcs.empty()) {
    unsigned char le[4] = {0, 0, 0, 0};
    int64_t got = m_stream->Read(le, sizeof le);
    if (got == -1) {
      throw Zr_ErrnoException(errno, "IO problem reading value from stream into buffer.");
    }
    if (got != static_cast<int64_t>(sizeof le)) {
      throw Zr_ErrnoException(ENODATA,
                              "Failed to read all data for value from stream into buffer.");
    }
    const uint32_t stored = static_cast<uint32_t>(le[0]) | static_cast<uint32_t>(le[1]) << 8 |
                            static_cast<uint32_t>(le[2]) << 16 | static_cast<uint32_t>(le[3]) << 24;
    if (stored != m_crcs.front()) throw Zr_ErrnoException(EILSEQ, "Failed to read CRC value");
    m_crcs.pop_front();
  }
  m_block_left = m_block_size;
  m_crc = ZR_ADLER32_INIT;
}

void Zr_CRCReadStream::updateCRC(const unsigned char* data, unsigned long len) {
  zr_adler32_blocks(m_block_size, m_block_left, m_crc, m_crcs, data, len);
}

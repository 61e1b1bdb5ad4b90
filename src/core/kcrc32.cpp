#include "core/kcrc32.h"

// Reflected table of the polynomial 0x04C11DB7 (0xEDB88320 bit-reversed): it
// gives the same values as reversing every input byte and the result.
koCrc32::koCrc32() {
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    table_[i] = c;
  }
}

uint32_t koCrc32::Compute(const void* data, int length) const {
  if (data == nullptr || length <= 0) return 0;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint32_t crc = 0xFFFFFFFFu;
  for (int i = 0; i < length; ++i) crc = table_[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

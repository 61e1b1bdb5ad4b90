// koCrc32: the standard CRC-32 (IEEE 802.3, the value zlib's crc32 gives),
// used to fingerprint answer texts.
//
// The table is built by the constructor and only read afterwards, so one
// object may be used by several threads at once.
#ifndef PV_CORE_KCRC32_H
#define PV_CORE_KCRC32_H

#include <cstdint>

class koCrc32 {
 public:
  koCrc32();

  // CRC-32 of `length` bytes at `data`; 0 for a length of 0 or less.
  uint32_t Compute(const void* data, int length) const;

 private:
  uint32_t table_[256];
};

#endif  // PV_CORE_KCRC32_H

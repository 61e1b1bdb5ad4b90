#include "platform/os/utf.h"

#include <cstdint>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at in[i..n); advances i past what was consumed.
// An ill-formed sequence yields U+FFFD and consumes its maximal valid prefix
// (at least one byte), so the next byte starts a fresh attempt.
char32_t DecodeUtf8(const unsigned char* in, size_t n, size_t& i) {
  unsigned char b = in[i++];
  if (b < 0x80) return b;
  int extra;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the first continuation byte
  if (b >= 0xC2 && b <= 0xDF) {
    extra = 1;
    cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    extra = 2;
    cp = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // no overlongs
    if (b == 0xED) hi = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    extra = 3;
    cp = b & 0x07;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= n) return kReplacement;
    unsigned char c = in[i];
    unsigned char min = k == 0 ? lo : 0x80;
    unsigned char max = k == 0 ? hi : 0xBF;
    if (c < min || c > max) return kReplacement;
    cp = (cp << 6) | (c & 0x3F);
    ++i;
  }
  return cp;
}

size_t PutUtf8(char32_t cp, char* out) {
  unsigned char buf[4];
  size_t len;
  if (cp < 0x80) {
    buf[0] = static_cast<unsigned char>(cp);
    len = 1;
  } else if (cp < 0x800) {
    buf[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 2;
  } else if (cp < 0x10000) {
    buf[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 3;
  } else {
    buf[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    buf[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    buf[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 4;
  }
  if (out != nullptr) {
    for (size_t k = 0; k < len; ++k) out[k] = static_cast<char>(buf[k]);
  }
  return len;
}

}  // namespace

size_t koUtf8ToUtf16(const char* in, size_t n, char16_t* out) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(in);
  size_t units = 0;
  size_t i = 0;
  while (i < n) {
    char32_t cp = DecodeUtf8(bytes, n, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      if (out != nullptr) {
        out[units] = static_cast<char16_t>(0xD800 | (cp >> 10));
        out[units + 1] = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
      }
      units += 2;
    } else {
      if (out != nullptr) out[units] = static_cast<char16_t>(cp);
      units += 1;
    }
  }
  return units;
}

size_t koUtf16ToUtf8(const char16_t* in, size_t n, char* out) {
  size_t bytes = 0;
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
        ++i;
      } else {
        cp = kReplacement;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    bytes += PutUtf8(cp, out != nullptr ? out + bytes : nullptr);
  }
  return bytes;
}

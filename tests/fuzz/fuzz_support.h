// What the fuzz targets share: a check that stops the run with what broke,
// the UTF-8 test the stored texts must pass, the input cut into pieces, and
// a private folder for targets that write files.
#ifndef PV_TESTS_FUZZ_FUZZ_SUPPORT_H
#define PV_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <string>

namespace pvfuzz {

// Aborts with `what` and the text that broke it (escaped, cut at 400 bytes).
inline void Check(bool condition, const char* what, const std::string& seen = std::string()) {
  if (condition) return;
  fprintf(stderr, "broken: %s\n", what);
  // PV_FUZZ_SHOW widens the excerpt when a case is studied.
  const char* shown = getenv("PV_FUZZ_SHOW");
  const size_t kShown = shown != nullptr ? strtoul(shown, nullptr, 10) : 400;
  if (!seen.empty()) {
    fprintf(stderr, "seen: \"");
    for (size_t i = 0; i < seen.size() && i < kShown; ++i) {
      unsigned char c = static_cast<unsigned char>(seen[i]);
      if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"')
        fputc(c, stderr);
      else
        fprintf(stderr, "\\x%02X", c);
    }
    fprintf(stderr, "\"%s\n", seen.size() > kShown ? " ..." : "");
  }
  abort();
}

// Well-formed UTF-8 (RFC 3629), without zero bytes when noZero.
inline bool IsUtf8(const char* s, size_t n, bool noZero = false) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  for (size_t i = 0; i < n;) {
    unsigned c = p[i];
    if (c < 0x80) {
      if (c == 0 && noZero) return false;
      ++i;
      continue;
    }
    size_t k = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (k == 0 || n - i < k) return false;
    for (size_t j = 1; j < k; ++j)
      if ((p[i + j] & 0xC0) != 0x80) return false;
    if ((c == 0xE0 && p[i + 1] < 0xA0) || (c == 0xED && p[i + 1] > 0x9F) || (c == 0xF0 && p[i + 1] < 0x90) ||
        (c == 0xF4 && p[i + 1] > 0x8F))
      return false;
    i += k;
  }
  return true;
}
inline bool IsUtf8(const std::string& s, bool noZero = false) { return IsUtf8(s.data(), s.size(), noZero); }

// The input as pieces separated by a zero byte: Next() gives the next one
// (the rest of the input for the last).
class Pieces {
 public:
  Pieces(const uint8_t* data, size_t size) : p_(reinterpret_cast<const char*>(data)), end_(p_ + size) {}
  std::string Next() {
    const char* stop = static_cast<const char*>(memchr(p_, 0, end_ - p_));
    if (stop == nullptr) stop = end_;
    std::string piece(p_, stop);
    p_ = stop < end_ ? stop + 1 : end_;
    return piece;
  }
  bool Done() const { return p_ >= end_; }

 private:
  const char* p_;
  const char* end_;
};

// A folder of the run's own below $TMPDIR (run_fuzz.sh sets it per target),
// made once per process and removed when it exits; the path ends without '/'.
inline const std::string& PrivateFolder() {
  // Never destroyed: the exit handler that removes it runs after the
  // destructors of statics made later.
  static const std::string* folder = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base == '/' ? base : "/tmp") + "/pvfuzz.XXXXXX";
    Check(mkdtemp(&pattern[0]) != nullptr, "mkdtemp", pattern);
    atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(PrivateFolder(), ignored);
    });
    return new std::string(pattern);
  }();
  return *folder;
}

}  // namespace pvfuzz

#endif  // PV_TESTS_FUZZ_FUZZ_SUPPORT_H

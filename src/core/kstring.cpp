#include "core/kstring.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/klog.h"
#include "platform/os/utf.h"

namespace {

constexpr uint64_t kMaxCapacity = UINT32_MAX;

// calloc, or the end of the process.
void* ZeroAlloc(uint64_t bytes, int line) {
  if (bytes == 0) bytes = 1;
  void* p = calloc(static_cast<size_t>(bytes), 1);
  if (p == nullptr) koOutOfMemory(__FILE__, line);
  return p;
}

// White space of the POSIX locale; bytes from 0x80 up never are.
bool IsSpace(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

int CompareLower(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && Lower(*x) == Lower(*y)) {
    ++x;
    ++y;
  }
  return static_cast<int>(Lower(*x)) - static_cast<int>(Lower(*y));
}

// glibc reads "I64" as the locale-digits flag plus a width of 64, so the
// Windows size prefix is rewritten to "ll" inside each conversion.
// Returns nullptr when the format needs no rewrite; else a malloc'ed copy.
char* RewriteI64(const char* format) {
  if (strstr(format, "I64") == nullptr) return nullptr;
  size_t n = strlen(format);
  char* out = static_cast<char*>(ZeroAlloc(n + 1, __LINE__));
  size_t w = 0;
  for (size_t r = 0; r < n;) {
    if (format[r] != '%') {
      out[w++] = format[r++];
      continue;
    }
    out[w++] = format[r++];
    if (r < n && format[r] == '%') {
      out[w++] = format[r++];
      continue;
    }
    while (r < n && strchr("-+ #0'123456789.*", format[r]) != nullptr) out[w++] = format[r++];
    if (strncmp(format + r, "I64", 3) == 0) {
      out[w++] = 'l';
      out[w++] = 'l';
      r += 3;
    }
  }
  out[w] = 0;
  return out;
}

}  // namespace

void koOutOfMemory(const char* file, int line) {
  // Writing the record may itself allocate; a second failure must not recurse.
  static std::atomic<int> entered{0};
  if (entered.fetch_add(1) == 0 && gLog != nullptr) {
    gLog->Write(file, line, -1, "Not enough memory, application terminated!");
  }
  exit(1);
}

koString::koString() = default;

koString::koString(const char* s) { Append(s); }

koString::koString(uint32_t capacity) {
  text_ = static_cast<char*>(ZeroAlloc(capacity, __LINE__));
  capacity_ = capacity == 0 ? 1 : capacity;
}

koString::~koString() {
  free(text_);
  free(wide_);
}

koString::koString(koString&& other) noexcept
    : text_(other.text_), length_(other.length_), capacity_(other.capacity_), wide_(other.wide_) {
  other.text_ = nullptr;
  other.wide_ = nullptr;
  other.length_ = other.capacity_ = 0;
}

koString& koString::operator=(koString&& other) noexcept {
  if (this != &other) {
    free(text_);
    free(wide_);
    text_ = other.text_;
    length_ = other.length_;
    capacity_ = other.capacity_;
    wide_ = other.wide_;
    other.text_ = nullptr;
    other.wide_ = nullptr;
    other.length_ = other.capacity_ = 0;
  }
  return *this;
}

const char* koString::GetString() const { return text_ != nullptr ? text_ : ""; }

void koString::Clear() {
  if (text_ != nullptr) {
    length_ = 0;
    text_[0] = 0;
  }
}

int koString::ToInt() const { return static_cast<int>(strtol(GetString(), nullptr, 10)); }

int64_t koString::ToInt64() const { return strtoll(GetString(), nullptr, 10); }

double koString::ToDouble() const { return atof(GetString()); }

int koString::CompareNoCase(const char* s) const {
  return CompareLower(GetString(), s != nullptr ? s : "");
}

bool koString::EqualsNoCase(const char* s) const { return CompareNoCase(s) == 0; }

void koString::Reallocate(uint64_t capacity, int line) {
  if (capacity > kMaxCapacity) koOutOfMemory(__FILE__, line);
  char* fresh = static_cast<char*>(ZeroAlloc(capacity, line));
  if (text_ != nullptr) memcpy(fresh, text_, length_);
  free(text_);
  text_ = fresh;
  capacity_ = static_cast<uint32_t>(capacity);
}

void koString::Grow(uint64_t extra) {
  uint64_t needed = static_cast<uint64_t>(length_) + extra + 1;
  if (needed <= capacity_) return;
  // A size that does not fit the 32-bit field is out of memory, never a wrap.
  if (needed > kMaxCapacity) koOutOfMemory(__FILE__, __LINE__);
  uint64_t capacity = 2 * needed;
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  Reallocate(capacity, __LINE__);
}

int koString::Append(const char* s, int n) {
  if (s == nullptr) s = "";
  uint64_t count = n == -1 ? strlen(s) : (n < 0 ? 0 : static_cast<uint64_t>(n));
  // s may point into our own buffer (appending to itself): keep its offset
  // across the reallocation.
  bool inside = text_ != nullptr && s >= text_ && s < text_ + capacity_;
  size_t offset = inside ? static_cast<size_t>(s - text_) : 0;
  Grow(count);
  if (inside) s = text_ + offset;
  memmove(text_ + length_, s, count);
  length_ += static_cast<uint32_t>(count);
  text_[length_] = 0;
  return static_cast<int>(length_);
}

int koString::Append(const koString& o) {
  return Append(o.GetString(), static_cast<int>(o.length_));
}

koString& koString::operator+=(const char* s) {
  if (s != nullptr) Append(s);
  return *this;
}

koString& koString::operator+=(const koString& o) {
  Append(o.GetString());
  return *this;
}

koString& koString::operator+=(int v) {
  AppendInt(v);
  return *this;
}

koString& koString::operator+=(unsigned long v) {
  AppendULong(v);
  return *this;
}

koString& koString::operator+=(int64_t v) {
  AppendInt64(v);
  return *this;
}

int koString::AppendInt(int v) {
  AppendFormat("%d", v);
  return static_cast<int>(length_);
}

int koString::AppendULong(unsigned long v) {
  AppendFormat("%lu", v);
  return static_cast<int>(length_);
}

int koString::AppendInt64(int64_t v) {
  AppendFormat("%I64d", v);
  return static_cast<int>(length_);
}

int koString::SetAs(const char* s, int n) {
  if (s != nullptr && text_ != nullptr && s >= text_ && s < text_ + capacity_) {
    // Setting from our own content: copy before clearing.
    koString copy;
    copy.Append(s, n);
    Clear();
    return Append(copy);
  }
  Clear();
  return Append(s, n);
}

int koString::SetAs(const koString& o) {
  if (&o == this) {
    Append("", 0);  // keeps content; guarantees a buffer like any assignment
    return static_cast<int>(length_);
  }
  Clear();
  return Append(o);
}

int koString::SetAsWideChar(const char16_t* w) {
  size_t units = 0;
  while (w != nullptr && w[units] != 0) ++units;
  if (units == 0) {
    Clear();
    return Append("", 0);
  }
  size_t bytes = koUtf16ToUtf8(w, units, nullptr);
  char* tmp = static_cast<char*>(ZeroAlloc(static_cast<uint64_t>(bytes) + 1, __LINE__));
  koUtf16ToUtf8(w, units, tmp);
  if (bytes > kMaxCapacity) koOutOfMemory(__FILE__, __LINE__);
  Clear();
  Append(tmp, static_cast<int>(bytes));
  free(tmp);
  return static_cast<int>(length_);
}

int koString::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = AppendFormatV(format, args);
  va_end(args);
  return n;
}

int koString::Format(const char* format, ...) {
  Clear();
  va_list args;
  va_start(args, format);
  int n = AppendFormatV(format, args);
  va_end(args);
  return n;
}

int koString::AppendFormatV(const char* format, va_list args) {
  if (format == nullptr) return 0;
  if (capacity_ == 0) {
    Reallocate(static_cast<uint64_t>(strlen(format)) + 1, __LINE__);
  }
  char* rewritten = RewriteI64(format);
  const char* fmt = rewritten != nullptr ? rewritten : format;
  int written = 0;
  for (;;) {
    uint32_t room = capacity_ - length_;
    va_list copy;
    va_copy(copy, args);
    int n = vsnprintf(text_ + length_, room, fmt, copy);
    va_end(copy);
    if (n < 0) {
      // An encoding error, not a short buffer: growing would never end.
      text_[length_] = 0;
      break;
    }
    if (static_cast<uint32_t>(n) < room) {
      length_ += static_cast<uint32_t>(n);
      written = n;
      break;
    }
    if (capacity_ >= kMaxCapacity) koOutOfMemory(__FILE__, __LINE__);
    uint64_t capacity = 2 * static_cast<uint64_t>(capacity_);
    Reallocate(capacity > kMaxCapacity ? kMaxCapacity : capacity, __LINE__);
  }
  free(rewritten);
  return written;
}

koString* koString::Clone() const {
  koString* copy = new koString();
  copy->Append(*this);
  return copy;
}

const char16_t* koString::GetAsWideChar(uint32_t* count) {
  free(wide_);
  wide_ = nullptr;
  size_t units = text_ != nullptr ? koUtf8ToUtf16(text_, length_, nullptr) : 0;
  wide_ = static_cast<char16_t*>(
      ZeroAlloc((static_cast<uint64_t>(units) + 1) * sizeof(char16_t), __LINE__));
  if (units > 0) koUtf8ToUtf16(text_, length_, wide_);
  if (count != nullptr) *count = static_cast<uint32_t>(units);
  return wide_;
}

const char* koString::GetAsUtf8() {
  uint32_t units = 0;
  const char16_t* w = GetAsWideChar(&units);
  size_t bytes = koUtf16ToUtf8(w, units, nullptr);
  char* tmp = static_cast<char*>(ZeroAlloc(static_cast<uint64_t>(bytes) + 1, __LINE__));
  koUtf16ToUtf8(w, units, tmp);
  Clear();
  Append(tmp, static_cast<int>(bytes));
  free(tmp);
  return GetString();
}

void koString::UrlEncode(int mode) {
  if (length_ == 0) return;
  static const char kAlways[] = "-_.!~*'()";
  static const char kMode1[] = ";/?:@&=+$,";
  char* work = static_cast<char*>(ZeroAlloc(3 * static_cast<uint64_t>(length_) + 1, __LINE__));
  uint64_t w = 0;
  for (uint32_t r = 0; r < length_; ++r) {
    unsigned char c = static_cast<unsigned char>(text_[r]);
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                (c != 0 && strchr(kAlways, c) != nullptr) ||
                (mode == 1 && c != 0 && strchr(kMode1, c) != nullptr);
    if (keep) {
      work[w++] = static_cast<char>(c);
    } else {
      snprintf(work + w, 4, "%%%02x", c);
      w += 3;
    }
  }
  if (w + 1 > kMaxCapacity) koOutOfMemory(__FILE__, __LINE__);
  char* trimmed = static_cast<char*>(realloc(work, w + 1));
  free(text_);
  text_ = trimmed != nullptr ? trimmed : work;
  length_ = static_cast<uint32_t>(w);
  capacity_ = length_ + 1;
  text_[length_] = 0;
}

void koString::UrlDecode() {
  if (length_ == 0) return;
  auto digit = [](unsigned char c) {
    return c < 'A' ? c - '0' : (c & ~0x20) - 55;  // unvalidated, as it always was
  };
  uint32_t r = 0, w = 0;
  while (r < length_ && text_[r] != 0) {
    char c = text_[r];
    if (c == '+') {
      text_[w++] = ' ';
      ++r;
    } else if (c == '%' && r + 2 < length_) {
      int v = digit(static_cast<unsigned char>(text_[r + 1])) * 16 +
              digit(static_cast<unsigned char>(text_[r + 2]));
      text_[w++] = static_cast<char>(v & 0xFF);
      r += 3;
    } else {
      // Also a '%' without two more bytes: kept, so nothing behind the content is read.
      text_[w++] = c;
      ++r;
    }
  }
  text_[w] = 0;
  length_ = static_cast<uint32_t>(strlen(text_));
}

void koString::JsonEscape() {
  if (length_ == 0) return;
  koString out;
  for (uint32_t i = 0; i < length_; ++i) {
    unsigned char c = static_cast<unsigned char>(text_[i]);
    switch (c) {
      case 0x08: out.Append("\\b", 2); break;
      case 0x09: out.Append("\\t", 2); break;
      case 0x0A: out.Append("\\n", 2); break;
      case 0x0C: out.Append("\\f", 2); break;
      case 0x0D: out.Append("\\r", 2); break;
      case '"': out.Append("\\\"", 2); break;
      case '/': out.Append("\\/", 2); break;
      case '\\': out.Append("\\\\", 2); break;
      default:
        if (c < 0x20) {
          // Raw control bytes would make the answer invalid JSON.
          out.AppendFormat("\\u%04x", c);
        } else {
          out.Append(reinterpret_cast<const char*>(&c), 1);
        }
    }
  }
  *this = std::move(out);
}

void koString::TrimLeftChar(char c) {
  if (text_ == nullptr) return;
  uint32_t n = 0;
  while (n < length_ && text_[n] == c) ++n;
  if (n == 0) return;
  memmove(text_, text_ + n, length_ - n + 1);
  length_ -= n;
}

void koString::TrimLeft() {
  if (text_ == nullptr) return;
  uint32_t n = 0;
  while (n < length_ && text_[n] != 0 && IsSpace(static_cast<unsigned char>(text_[n]))) ++n;
  if (n == 0) return;
  memmove(text_, text_ + n, length_ - n + 1);
  length_ -= n;
}

void koString::TrimRight() {
  if (text_ == nullptr) return;
  while (length_ > 0 && text_[length_ - 1] != 0 &&
         IsSpace(static_cast<unsigned char>(text_[length_ - 1]))) {
    text_[--length_] = 0;
  }
}

void koString::Trim() {
  TrimLeft();
  TrimRight();
}

int koString::RemoveLast(uint32_t n) {
  if (text_ == nullptr) return 0;
  length_ = n >= length_ ? 0 : length_ - n;
  text_[length_] = 0;
  return static_cast<int>(length_);
}

int koString::CutToken(const char* sep, koString& out) {
  out.Clear();
  if (length_ == 0) return 0;
  size_t seplen = sep != nullptr ? strlen(sep) : 0;
  // An empty separator would yield empty tokens forever.
  int p = seplen > 0 ? Find(sep) : -1;
  if (p < 0) {
    out.Append(*this);
    Clear();
    return 1;
  }
  out.Append(text_, p);
  uint32_t cut = static_cast<uint32_t>(p) + static_cast<uint32_t>(seplen);
  memmove(text_, text_ + cut, length_ - cut + 1);
  length_ -= cut;
  return 1;
}

int koString::Find(const char* s) const {
  if (s == nullptr) return -1;
  const char* base = GetString();
  const char* hit = strstr(base, s);
  return hit != nullptr ? static_cast<int>(hit - base) : -1;
}

int koString::FindNoCase(const char* s, int start) const {
  if (s == nullptr) return -1;
  if (start < 0) start = 0;
  if (static_cast<uint32_t>(start) >= length_) return -1;
  const char* base = GetString();
  size_t n = strlen(base);  // the search, like a C string, ends at a zero byte
  size_t m = strlen(s);
  if (m > n) return -1;
  if (m == 0) return static_cast<size_t>(start) <= n ? start : -1;
  // Candidates are found by their first byte in either case (memchr is far
  // quicker than a byte loop over long texts such as mail bodies); each
  // case's next occurrence is looked up again only once passed.
  const unsigned char lower = Lower(static_cast<unsigned char>(s[0]));
  const unsigned char upper = lower >= 'a' && lower <= 'z' ? static_cast<unsigned char>(lower - 32) : lower;
  const char* end = base + (n - m) + 1;  // candidates lie before end
  const char* p = base + start;
  const char* nextLower = nullptr;
  const char* nextUpper = upper != lower ? nullptr : end;
  while (p < end) {
    if (nextLower == nullptr || nextLower < p) {
      nextLower = static_cast<const char*>(memchr(p, lower, static_cast<size_t>(end - p)));
      if (nextLower == nullptr) nextLower = end;
    }
    if (nextUpper == nullptr || nextUpper < p) {
      nextUpper = static_cast<const char*>(memchr(p, upper, static_cast<size_t>(end - p)));
      if (nextUpper == nullptr) nextUpper = end;
    }
    const char* hit = nextLower < nextUpper ? nextLower : nextUpper;
    if (hit >= end) return -1;
    size_t k = 1;
    while (k < m && Lower(static_cast<unsigned char>(hit[k])) == Lower(static_cast<unsigned char>(s[k]))) ++k;
    if (k == m) return static_cast<int>(hit - base);
    p = hit + 1;
  }
  return -1;
}

int koString::ReplaceAt(int p, int c, const char* r) {
  if (p < 0) p = 0;
  if (c < 0) c = 0;
  if (static_cast<uint32_t>(p) > length_) p = static_cast<int>(length_);
  if (static_cast<uint64_t>(p) + static_cast<uint64_t>(c) > length_) {
    c = static_cast<int>(length_) - p;
  }
  koString out;
  out.Append(GetString(), p);
  out.Append(r != nullptr ? r : "");
  // By length: a zero byte in the text must not end it.
  out.Append(GetString() + p + c, static_cast<int>(length_) - p - c);
  *this = std::move(out);
  return static_cast<int>(length_);
}

int koString::ReplaceNoCase(const char* s, const char* r) {
  if (s == nullptr || *s == 0) return static_cast<int>(length_);
  if (r == nullptr) r = "";
  int slen = static_cast<int>(strlen(s));
  int rlen = static_cast<int>(strlen(r));
  int p = FindNoCase(s, 0);
  while (p != -1) {
    ReplaceAt(p, slen, r);
    p = FindNoCase(s, p + rlen);
  }
  return static_cast<int>(length_);
}

// koString: the one string type of every deliverable.
//
// A growable byte buffer holding UTF-8 (or any bytes) with a terminating zero
// behind the content. Running out of memory logs (when gLog is set) and ends
// the process with exit code 1.
//
// Not thread-safe: a string belongs to one thread at a time. GetAsWideChar
// changes the object, so even two readers must not share one string.
#ifndef PV_CORE_KSTRING_H
#define PV_CORE_KSTRING_H

#include <cstdarg>
#include <cstdint>

class koString {
 public:
  koString();
  // Content = s up to its first zero byte; s must not be null.
  explicit koString(const char* s);
  // Empty, with a zero-filled buffer of `capacity` bytes (response bodies use 65536).
  explicit koString(uint32_t capacity);
  virtual ~koString();

  // Strings are copied only through SetAs, Clone or appending.
  koString(const koString&) = delete;
  koString& operator=(const koString&) = delete;
  koString(koString&& other) noexcept;
  koString& operator=(koString&& other) noexcept;

  // Content, or "" when there is no buffer yet. Valid until the next change.
  const char* GetString() const;
  uint32_t GetLength() const { return length_; }
  uint32_t GetCapacity() const { return capacity_; }
  // Length 0; the buffer stays allocated.
  void Clear();

  // atoi / 64-bit atoi / atof of GetString().
  int ToInt() const;
  int64_t ToInt64() const;
  double ToDouble() const;

  // ASCII letters compare as lower case, other bytes by value.
  int CompareNoCase(const char* s) const;
  bool EqualsNoCase(const char* s) const;

  // Appends n bytes of s (n = -1: up to its first zero). Returns the new length.
  int Append(const char* s, int n = -1);
  // Appends all bytes of o, zero bytes included. Returns the new length.
  int Append(const koString& o);
  // These stop at the first zero byte; a null s is ignored.
  koString& operator+=(const char* s);
  koString& operator+=(const koString& o);
  koString& operator+=(int v);
  koString& operator+=(unsigned long v);
  koString& operator+=(int64_t v);
  int AppendInt(int v);
  int AppendULong(unsigned long v);
  int AppendInt64(int64_t v);

  int SetAs(const char* s, int n = -1);
  int SetAs(const koString& o);
  // Content = w (zero-terminated UTF-16) as UTF-8; invalid units become U+FFFD.
  int SetAsWideChar(const char16_t* w);

  // printf-style; "I64" before d/u/x is accepted as the 64-bit size prefix.
  // Returns the bytes appended.
  int AppendFormat(const char* format, ...);
  int AppendFormatV(const char* format, va_list args);
  int Format(const char* format, ...);

  // A heap copy of all length bytes; the caller deletes it.
  koString* Clone() const;

  // UTF-16 copy of the content, zero-terminated, owned by the string. The copy
  // of an earlier call is freed first, so only the latest pointer is valid.
  const char16_t* GetAsWideChar(uint32_t* count = nullptr);
  // Replaces the content with its UTF-8 -> UTF-16 -> UTF-8 round trip.
  const char* GetAsUtf8();

  // mode 0: only letters, digits and -_.!~*'() stay; mode 1 also keeps ;/?:@&=+$,
  void UrlEncode(int mode);
  void UrlDecode();
  void JsonEscape();
  void TrimLeftChar(char c);
  void TrimLeft();
  void TrimRight();
  void Trim();
  // Drops the last n bytes; returns the new length (0 when there is no buffer).
  int RemoveLast(uint32_t n);
  // Moves the text before the first `sep` into out and removes it with the
  // separator. 1 when a token was produced, 0 when the string was empty.
  int CutToken(const char* sep, koString& out);
  int Find(const char* s) const;
  int FindNoCase(const char* s, int start) const;
  // Content = first p bytes, r, then the text from p + c. Returns the new length.
  int ReplaceAt(int p, int c, const char* r);
  int ReplaceNoCase(const char* s, const char* r);

 private:
  // Makes room for `extra` more bytes plus the terminating zero.
  void Grow(uint64_t extra);
  // Replaces the buffer with a zero-filled one of `capacity` bytes, keeping content.
  void Reallocate(uint64_t capacity, int line);

  char* text_ = nullptr;
  uint32_t length_ = 0;
  uint32_t capacity_ = 0;
  char16_t* wide_ = nullptr;
};

// Logs "Not enough memory, application terminated!" (when gLog is set) and
// ends the process with exit code 1. `file` and `line` name the failed allocation.
[[noreturn]] void koOutOfMemory(const char* file, int line);

#endif  // PV_CORE_KSTRING_H

#include "core/kpasswd.h"

#include <cstring>

// The mail library's headers are C that C++ cannot read as it stands (they
// define the macros and, or and not; this file is compiled with
// -fno-operator-names for them) and define short macros such as T, NIL, min
// and max. So they come last, here only, and never from a header.
extern "C" {
#include <c-client/c-client.h>
}

namespace {

unsigned char RotateRight(unsigned char b) { return static_cast<unsigned char>((b >> 1) | (b << 7)); }

unsigned char RotateLeft(unsigned char b) { return static_cast<unsigned char>((b << 1) | (b >> 7)); }

// out = Base64 of n bytes, CR LF after each 60 characters and at the end.
void EncodeBytes(const unsigned char* data, unsigned long n, koString& out) {
  unsigned long length = 0;
  unsigned char* text = rfc822_binary(const_cast<unsigned char*>(data), n, &length);
  out.SetAs(reinterpret_cast<const char*>(text), static_cast<int>(length));
  void* block = text;
  fs_give(&block);
}

// The decoded bytes in a buffer the caller hands to fs_give; null when the
// text is not Base64 (the library skips line breaks and other white space).
unsigned char* DecodeBytes(const koString& text, unsigned long* length) {
  *length = 0;
  // The library reads but does not change its input; its prototype lacks const.
  unsigned char* src = reinterpret_cast<unsigned char*>(const_cast<char*>(text.GetString()));
  return static_cast<unsigned char*>(rfc822_base64(src, text.GetLength(), length));
}

void FreeBytes(unsigned char* bytes) {
  void* block = bytes;
  fs_give(&block);
}

}  // namespace

int PasswordMgr::Encode(const koString& clear, koString& out) {
  // Every byte is rotated: a zero byte stays zero, and the bytes after it are
  // kept, so any password comes back whole.
  const char* text = clear.GetString();
  koString rotated;
  for (uint32_t i = 0; i < clear.GetLength(); ++i) {
    char b = static_cast<char>(RotateRight(static_cast<unsigned char>(text[i])));
    rotated.Append(&b, 1);
  }
  EncodeBytes(reinterpret_cast<const unsigned char*>(rotated.GetString()), rotated.GetLength(), out);
  return 1;
}

int PasswordMgr::Decode(const koString& stored, koString& out) {
  unsigned long n = 0;
  unsigned char* bytes = DecodeBytes(stored, &n);
  if (bytes == nullptr) return 0;
  for (unsigned long i = 0; i < n; ++i) bytes[i] = RotateLeft(bytes[i]);
  out.SetAs(reinterpret_cast<const char*>(bytes), static_cast<int>(n));
  FreeBytes(bytes);
  return 1;
}

int Base64Encode(const koString& text, koString& out, int keepLineBreaks) {
  koString encoded;
  EncodeBytes(reinterpret_cast<const unsigned char*>(text.GetString()), text.GetLength(), encoded);
  if (keepLineBreaks) {
    out.SetAs(encoded);
    return 1;
  }
  // Base64 text holds no CR or LF but the line breaks.
  koString joined;
  const char* s = encoded.GetString();
  for (uint32_t i = 0; i < encoded.GetLength(); ++i) {
    if (s[i] != '\r' && s[i] != '\n') joined.Append(s + i, 1);
  }
  out.SetAs(joined);
  return 1;
}

int Base64Decode(const koString& text, koString& out) {
  unsigned long n = 0;
  unsigned char* bytes = DecodeBytes(text, &n);
  if (bytes == nullptr) return 0;
  out.SetAs(reinterpret_cast<const char*>(bytes), static_cast<int>(strnlen(reinterpret_cast<char*>(bytes), n)));
  FreeBytes(bytes);
  return 1;
}

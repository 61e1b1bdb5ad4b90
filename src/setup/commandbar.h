// The browser's command-bar layout values, as the per-user setup rewrites
// them: a 4-byte header, then 4-byte entries (button id, 1, 0, 0).
#ifndef PV_SETUP_COMMANDBAR_H
#define PV_SETUP_COMMANDBAR_H

#include <cstdint>

#include "core/kstring.h"

constexpr uint32_t kLayoutHeaderBytes = 4;
constexpr uint32_t kLayoutEntryBytes = 4;

inline void AppendLayoutEntry(koString& value, unsigned char id) {
  const char entry[kLayoutEntryBytes] = {static_cast<char>(id), 1, 0, 0};
  value.Append(entry, kLayoutEntryBytes);
}

// out = the layout `old` with the button's entry once, right after the
// header, and every other entry in its order. Bytes after the last whole
// entry are kept as they are. 0 (out empty) when old is too short for the
// header: it is no layout.
inline int LayoutWithButtonFirst(const koString& old, unsigned char button, koString& out) {
  out.Clear();
  if (old.GetLength() < kLayoutHeaderBytes) return 0;
  const char* bytes = old.GetString();
  out.Append(bytes, kLayoutHeaderBytes);
  AppendLayoutEntry(out, button);
  uint32_t at = kLayoutHeaderBytes;
  for (; old.GetLength() - at >= kLayoutEntryBytes; at += kLayoutEntryBytes)
    if (static_cast<unsigned char>(bytes[at]) != button) out.Append(bytes + at, kLayoutEntryBytes);
  out.Append(bytes + at, static_cast<int>(old.GetLength() - at));
  return 1;
}

#endif  // PV_SETUP_COMMANDBAR_H

// pvreg: looks into the registry and sets values in it.
//
//   pvreg dump [KEY]                every key and value below KEY, or of both
//                                   hives (machine, then user)
//   pvreg query KEY [NAME]          one value (no NAME or "@": the default
//                                   value) as the dump writes it
//   pvreg set KEY NAME TYPE DATA    TYPE sz (DATA as text), dword (decimal or
//                                   0x hex) or binary (hex bytes, commas allowed)
//
// KEY starts with HKLM, HKCU or HKCR (or HKEY_LOCAL_MACHINE, ...), then "\"
// and the key's path. Exit codes: 0 done, 1 bad arguments, 2 the registry
// answered a failure (written to standard error).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "platform/desktop/registry/registry.h"

namespace {

struct Root {
  const char* short_name;
  const char* long_name;
  koHKey key;
};

const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", kRegLocalMachine},
    {"HKCU", "HKEY_CURRENT_USER", kRegCurrentUser},
    {"HKCR", "HKEY_CLASSES_ROOT", kRegClassesRoot},
};

int Usage() {
  fputs("usage: pvreg dump [KEY] | query KEY [NAME] | set KEY NAME sz|dword|binary DATA\n", stderr);
  return 1;
}

int Failed(const char* what, long rc) {
  fprintf(stderr, "pvreg: %s: %s\n", what, koRegErrorText(rc));
  return 2;
}

// *root and *path from "HKLM\path"; 0 for an unknown root.
int SplitKey(const char* text, koHKey* root, const char** path) {
  for (const Root& r : kRoots) {
    for (const char* name : {r.short_name, r.long_name}) {
      size_t n = strlen(name);
      if (strncasecmp(text, name, n) == 0 && (text[n] == 0 || text[n] == '\\')) {
        *root = r.key;
        *path = text[n] == 0 ? "" : text + n + 1;
        return 1;
      }
    }
  }
  return 0;
}

int Dump(const char* text) {
  koString out;
  long rc = kRegOk;
  if (text == nullptr) {
    for (int i = 0; i < 2; ++i) {
      rc = koRegExport(kRoots[i].key, kRoots[i].short_name, out);
      // A hive that was never written holds nothing to show.
      if (rc != kRegOk && rc != kRegNotFound) return Failed(kRoots[i].short_name, rc);
    }
  } else {
    koHKey root, key = nullptr;
    const char* path;
    if (!SplitKey(text, &root, &path)) return Usage();
    rc = koRegOpenKey(root, path, kRegRead, &key);
    if (rc == kRegOk) rc = koRegExport(key, text, out);
    koRegCloseKey(key);
    if (rc != kRegOk) return Failed(text, rc);
  }
  fwrite(out.GetString(), 1, out.GetLength(), stdout);
  return 0;
}

int Query(const char* text, const char* name) {
  koHKey root, key = nullptr;
  const char* path;
  if (!SplitKey(text, &root, &path)) return Usage();
  if (name != nullptr && strcmp(name, "@") == 0) name = nullptr;
  koString data;
  uint32_t type = 0;
  long rc = koRegOpenKey(root, path, kRegRead, &key);
  if (rc == kRegOk) rc = koRegGetValue(key, name, &type, data);
  koRegCloseKey(key);
  if (rc != kRegOk) return Failed(text, rc);
  koString out;
  koRegFormatValue(type, data, out);
  printf("%s\n", out.GetString());
  return 0;
}

int HexBytes(const char* text, std::vector<unsigned char>& out) {
  std::string digits;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == ',') continue;
    if (strchr("0123456789abcdefABCDEF", *p) == nullptr) return 0;
    digits += *p;
  }
  if (digits.size() % 2 != 0) return 0;
  for (size_t i = 0; i < digits.size(); i += 2)
    out.push_back(static_cast<unsigned char>(strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  return 1;
}

int Set(const char* text, const char* name, const char* type, const char* data) {
  koHKey root, key = nullptr;
  const char* path;
  if (!SplitKey(text, &root, &path)) return Usage();
  if (strcmp(name, "@") == 0) name = nullptr;
  std::vector<unsigned char> bytes;
  uint32_t kind = REG_SZ;
  if (strcasecmp(type, "binary") == 0) {
    if (!HexBytes(data, bytes)) return Usage();
    kind = REG_BINARY;
  } else if (strcasecmp(type, "dword") == 0) {
    char* end = nullptr;
    unsigned long v = strtoul(data, &end, 0);
    if (*data == 0 || *end != 0 || v > 0xFFFFFFFFul) return Usage();
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<unsigned char>(v >> (8 * i)));
    kind = REG_DWORD;
  } else if (strcasecmp(type, "sz") != 0) {
    return Usage();
  }
  long rc = koRegCreateKey(root, path, &key);
  if (rc == kRegOk) {
    if (strcasecmp(type, "sz") == 0)
      rc = koRegSetString(key, name, data);
    else
      rc = koRegSetValue(key, name, kind, bytes.data(), static_cast<uint32_t>(bytes.size()));
  }
  koRegCloseKey(key);
  return rc == kRegOk ? 0 : Failed(text, rc);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "dump") == 0 && argc <= 3) return Dump(argc == 3 ? argv[2] : nullptr);
  if (argc >= 3 && strcmp(argv[1], "query") == 0 && argc <= 4)
    return Query(argv[2], argc == 4 ? argv[3] : nullptr);
  if (argc == 6 && strcmp(argv[1], "set") == 0) return Set(argv[2], argv[3], argv[4], argv[5]);
  return Usage();
}

// The registry: a tree of keys holding typed values, one SQLite file per hive.
//
// Hives and their files:
//   machine (kRegLocalMachine)  /var/lib/postvane/registry/machine.db, in a
//                               folder that only root may write
//   user (kRegCurrentUser)      <state home>/postvane/registry/user.db (0700)
//   kRegClassesRoot             the machine hive's "Software\Classes" key
// With PV_REGISTRY_DIR set to an absolute folder, both files lie there
// (machine.db, user.db) instead; tests point it at a private folder. The
// variable is read anew on every open. An elevated program (root) has root's
// own user hive, as another account's elevation would have on the system the
// callers come from.
//
// Key paths separate names with '\'; names and value names compare ignoring
// the case of ASCII letters and keep the case they were first written with.
// A value keeps its type and its bytes exactly (REG_SZ as the UTF-16LE bytes
// written, with or without a terminating zero as the writer chose). A key
// name is 1 to 255 bytes without '\'; a path may end in one '\'.
//
// Every function answers a system error number: kRegOk (0) or one of the
// kReg* codes below. A change is one transaction: it happens whole or not at
// all. Opening a key for writing checks the hive can be written (missing files
// and folders are made then); reading a hive whose file is missing finds no
// key. A failed statement is recorded through gLog where a logger is set (the
// library and the tools have none); callers log their own step.
//
// Key handles belong to one thread at a time; each holds its own connection,
// and SQLite orders writers in this and other processes. A handle whose key
// another handle deleted answers kRegKeyDeleted.
#ifndef PV_PLATFORM_DESKTOP_REGISTRY_REGISTRY_H
#define PV_PLATFORM_DESKTOP_REGISTRY_REGISTRY_H

#include <cstdint>

#include "core/kstring.h"

struct koRegKey;
typedef koRegKey* koHKey;

// Predefined keys; closing them does nothing.
extern koHKey const kRegClassesRoot;
extern koHKey const kRegCurrentUser;
extern koHKey const kRegLocalMachine;

// Value types.
enum : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

// Access asked for when opening.
enum : int { kRegRead = 1, kRegWrite = 2, kRegReadWrite = 3 };

// Answers (the system's error numbers).
enum : long {
  kRegOk = 0,
  kRegNotFound = 2,         // no such key or value
  kRegAccessDenied = 5,     // the hive cannot be written, or the handle was opened read-only
  kRegInvalidHandle = 6,
  kRegOutOfMemory = 14,
  kRegInvalidParameter = 87,
  kRegMoreData = 234,       // the caller's buffer is too small
  kRegNoMoreItems = 259,    // enumeration past the end
  kRegBadDb = 1009,         // the hive file is not a registry database
  kRegIoFailed = 1016,      // the hive file cannot be opened or read
  kRegKeyDeleted = 1018,
  kRegKeyHasChildren = 1020,  // the key to delete alone holds keys or values
};

// out = the file of the predefined key's hive. 1, or 0 (no home folder known).
int koRegHiveFile(koHKey predefined, koString& out);

// The text of an answer ("access denied", ...), for messages.
const char* koRegErrorText(long error);

// *out = the key at path below parent (null or "": parent itself, as a new
// handle), opened with access. kRegNotFound when a key of the path is missing.
long koRegOpenKey(koHKey parent, const char* path, int access, koHKey* out);
// As koRegOpenKey with kRegReadWrite, making the missing keys of the path;
// parent must be open for writing (kRegAccessDenied otherwise).
// out may be null when only the keys are wanted.
long koRegCreateKey(koHKey parent, const char* path, koHKey* out);
// Frees the handle. kRegOk (also for null and the predefined keys).
long koRegCloseKey(koHKey key);

// Sets the value (name null or "": the key's default value) to size bytes
// of data.
long koRegSetValue(koHKey key, const char* name, uint32_t type, const void* data, uint32_t size);
// Reads a value the system's way: *type (when type is not null) = its type;
// with data null, *size = its byte count; otherwise, when *size is at least
// its byte count, its bytes are copied and *size set to the count, else
// kRegMoreData with *size = the count. size may be null only with data null.
long koRegQueryValue(koHKey key, const char* name, uint32_t* type, void* data, uint32_t* size);
// The value's bytes into out (any length), *type as above.
long koRegGetValue(koHKey key, const char* name, uint32_t* type, koString& out);
long koRegDeleteValue(koHKey key, const char* name);

// Deletes the key at path below parent with every key and value below it.
// path must name a key (not empty). kRegNotFound when it is missing.
long koRegDeleteTree(koHKey parent, const char* path);

// Deletes the key at path below parent when it holds no keys and no values;
// kRegKeyHasChildren (and nothing changes) when it holds any.
long koRegDeleteEmptyKey(koHKey parent, const char* path);

// The name of the index-th subkey, in the order of names ignoring case.
// kRegNoMoreItems past the last.
long koRegEnumKey(koHKey key, uint32_t index, koString& name);
// The index-th value (the default value, named "", first), its type and bytes.
long koRegEnumValue(koHKey key, uint32_t index, koString& name, uint32_t* type, koString& data);

// REG_SZ helpers: the UTF-8 text as UTF-16LE bytes with their terminating
// zero (an empty text is 2 bytes); reading takes a REG_SZ or REG_EXPAND_SZ
// value up to its first zero unit (kRegInvalidParameter for other types).
long koRegSetString(koHKey key, const char* name, const char* text);
long koRegGetString(koHKey key, const char* name, koString& text);

// Appends the key and everything below it, in the text form below, to out;
// `shown` names the key in the headers ("HKCU\Software").
//   [<key path>]             one header per key, keys in name order
//   @="text"                 the default value, then named values in order:
//   "name"="text"            REG_SZ holding exactly the text and one zero unit
//   "name"=dword:0000002a    REG_DWORD of 4 bytes
//   "name"=hex(<type>):ce,00 anything else (hex: for REG_BINARY); no bytes: nothing after ':'
// Each key ends with an empty line. '"' and '\' in names and texts are
// written as \" and \\.
long koRegExport(koHKey key, const char* shown, koString& out);
// Appends the text of one value as koRegExport writes it after "=".
void koRegFormatValue(uint32_t type, const koString& data, koString& out);

#endif  // PV_PLATFORM_DESKTOP_REGISTRY_REGISTRY_H

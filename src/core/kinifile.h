// koIniFile: small key-value files in the ini layout ("[section]" headers,
// "name=value" lines), and the three free operations the rest of the system
// calls: IniReadString, IniReadInt and IniWriteString.
//
// Names and values are bytes as they stand (UTF-8); nothing is trimmed and
// names compare byte for byte. Lines that are not headers or key lines
// (comments, blank lines, anything unparsable) are kept as they stand and
// written back in place, so a write changes only the line it sets. Files are
// written with "\n" line ends and no byte-order mark; "\r\n" and a leading
// UTF-8 byte-order mark are accepted on reading.
//
// Thread-safety: a koIniFile belongs to one thread at a time. The free
// operations may be called from any thread. Every save replaces the file by
// renaming a finished temporary file over it, so a reader in any thread or
// process sees either the old or the new file whole. IniWriteString holds the
// process-wide ini lock (koIniFile::GetLock) from loading to saving, so two
// writers in this process never lose each other's change; code that changes a
// shared file through the members holds that lock the same way. Writers in
// other processes are not excluded.
#ifndef PV_CORE_KINIFILE_H
#define PV_CORE_KINIFILE_H

#include <cstdint>

#include "core/kstring.h"

class koMutex;

// One "name=value" line. Owned by its section.
struct IniKey {
  koString comment;  // kept lines before this one, each ending in "\n"
  koString name;
  koString value;
  IniKey* next = nullptr;
};

// One section. Owned by the document's section list.
struct IniSection {
  IniKey* firstKey = nullptr;
  IniKey* lastKey = nullptr;
  uint32_t keyCount = 0;
  koString comment;  // kept lines before the header, each ending in "\n"
  koString name;
  IniSection* next = nullptr;
  // 0 only for the unnamed section of keys that stand before the first header
  // in the file: it is written back without a header line.
  int hasHeader = 1;
  koString headerRest;  // text behind the "]" of the header line
};

struct IniSectionList {
  uint32_t count = 0;
  IniSection* first = nullptr;
  IniSection* last = nullptr;
};

class koIniFile {
 public:
  koIniFile();
  virtual ~koIniFile();  // frees every key, every section and the list
  koIniFile(const koIniFile&) = delete;
  koIniFile& operator=(const koIniFile&) = delete;

  // Drops any earlier content, remembers `path`, creates the empty section
  // list and loads the file (see Load). 1 when the file was read. A missing
  // file answers 0 and leaves an empty document that may be saved (this is how
  // a write creates the file); check LoadFailed before saving otherwise.
  int Open(const char* path, const char* sectionFilter = nullptr, const char* keyFilter = nullptr);
  // Reads the document's file. With a section filter only sections of exactly
  // that name are taken (all of them, merged); with a key filter only keys of
  // exactly that name. 1 when the whole file was read. On failure the document
  // is empty and the error text says why.
  int Load(const char* sectionFilter, const char* keyFilter);

  // Copies the value of `key` in `section`, or `def` (null: "") when either is
  // missing, into out. Returns the length of what it copied.
  int GetValue(const char* section, const char* key, const char* def, koString& out) const;
  // Replaces the value of an existing key, or appends the missing section
  // and key at the end of their lists. 0 (logged) when a name or value could
  // not be read back as written: a line break anywhere, a key that is empty,
  // holds "=" or starts with "[", "#" or ";", a section name with "]", or when
  // memory runs out ("cannot malloc memory !").
  int SetValue(const char* section, const char* key, const char* value);
  // Writes the whole document to `path` (null: the document's own path)
  // through a temporary file in the same folder that is flushed to disk and
  // renamed over the target; a symbolic link is written through. 0 (logged)
  // when the file cannot be written, with "open file error"; the old file then
  // stays as it was. Refuses (0, logged) to write over the document's own file
  // when the load failed or was filtered, since the document does not hold
  // the whole file.
  int Save(const char* path = nullptr);
  // Appends the file's text, as Save writes it, to content.
  void Print(koString& content) const;

  // Exact (byte for byte) lookups; null when missing. Valid until the
  // document changes or closes.
  IniSection* FindSection(const char* name) const;
  IniKey* FindKey(const IniSection* section, const char* name) const;

  // Frees all content; the document may be opened again.
  void Close();

  // Null, "open file error" or "cannot malloc memory !".
  const char* GetErrorText() const { return error_; }
  // 1 when the file exists but could not be read whole.
  int LoadFailed() const { return loadFailed_; }
  const koString& GetPath() const { return path_; }

  // The process-wide ini lock; a plain koMutex, not re-entrant. IniWriteString
  // takes it, so callers of the free operations must not hold it.
  static koMutex& GetLock();

 private:
  // Adds or replaces a key of section s without checking names; `comment`
  // moves into a new node. 1 when set, 0 when memory runs out.
  int Put(IniSection* s, const char* key, int keyLength, const char* value,
          int valueLength, koString* comment);
  IniSection* AddSection(const char* name, int length);
  void FreeSections();
  int LoadBytes(const char* data, uint32_t length, const char* sectionFilter,
                const char* keyFilter);

  koString path_;
  IniSectionList* sections_ = nullptr;
  const char* error_ = nullptr;
  int overwrite_ = 1;   // setting an existing key replaces its value
  int loadFailed_ = 0;  // the file exists but was not read whole
  int filtered_ = 0;    // loaded with a filter: holds only part of the file
  koString tail_;       // kept lines after the last key, each ending in "\n"
};

// Puts the value of `key` in `section` of the file at `path` into out, or
// `def` (null: "") when the path is null or the file, section or key is
// missing. Returns the length of what it put there. Takes no lock.
int IniReadString(const char* section, const char* key, const char* def, koString& out,
                  const char* path);
// As IniReadString with `def` written as "%d"; answers the decimal value of
// the text (leading digits; anything else gives 0).
int IniReadInt(const char* section, const char* key, int def, const char* path);
// The value as a TCP port: only a whole decimal number from 1 to 65535
// counts; anything else ("", "abc", "41005x", "4294967297") gives def.
int IniReadPort(const char* section, const char* key, int def, const char* path);
// Sets `key` in `section` to `value` in the file at `path`, creating the file,
// section and key when missing; the rest of the file is kept. Takes the ini
// lock. 1 on success; 0 (logged) when the path is null, the existing file
// cannot be read whole (it is then left untouched), the name or value is
// refused by koIniFile::SetValue, or the file cannot be written.
int IniWriteString(const char* section, const char* key, const char* value, const char* path);
// Creates the file at `path` holding `key` = `value` in `section`, unless a
// file is there already (which is left as it is). The file appears whole or
// not at all, readable by its owner only. Takes the ini lock. 1 when the file
// exists afterwards; 0 (logged) otherwise.
int IniCreateFile(const char* section, const char* key, const char* value, const char* path);
// Removes the temporary files that writers of the file at `path` left beside
// it when their process ended in the middle of a write (logged). Files of
// running processes stay. Answers how many were removed.
int IniRemoveStaleTemps(const char* path);

#endif  // PV_CORE_KINIFILE_H

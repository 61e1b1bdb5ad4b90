#include "core/kinifile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/kfile.h"
#include "core/klog.h"
#include "core/kthread.h"

namespace {

const char kOpenFileError[] = "open file error";
const char kNoMemory[] = "cannot malloc memory !";

// Our files hold a handful of lines; anything this big is not one of them and
// would only exhaust memory.
constexpr uint32_t kMaxFileBytes = 16u << 20;

void LogStep(int code, const char* step, const char* path) {
  koString msg;
  msg.Format("%s %s", step, path != nullptr ? path : "");
  KO_LOG(code, msg.GetString());
}

bool SameName(const koString& name, const char* s, int length) {
  return name.GetLength() == static_cast<uint32_t>(length) &&
         memcmp(name.GetString(), s, static_cast<size_t>(length)) == 0;
}

// Reads the whole file into data. *missing = 1 when the file does not exist,
// which is no failure of the reader's making.
int ReadWholeFile(const char* path, koString& data, int* missing) {
  *missing = 0;
  int code = 0;
  if (koReadWholeFile(path, kMaxFileBytes, data, &code)) return 1;
  if (code == ENOENT)
    *missing = 1;
  else if (code == EINVAL || code == EFBIG)
    LogStep(-1, "koIniFile::Load not a readable ini file:", path);
  else
    LogStep(code, "koIniFile::Load read", path);
  return 0;
}

// Replaces target with content (see koReplaceFile). A new file is readable by
// its owner only: ini files hold the passcode.
int ReplaceFile(const char* target, const koString& content, bool createOnly) {
  int code = 0;
  const char* step = nullptr;
  koString stepPath;
  if (koReplaceFile(target, content.GetString(), content.GetLength(), 0600, createOnly, &code, &step,
                    &stepPath))
    return 1;
  koString what;
  what.Format("koIniFile::Save %s", step);
  LogStep(code, what.GetString(), stepPath.GetString());
  return 0;
}

}  // namespace

koIniFile::koIniFile() = default;

koIniFile::~koIniFile() { Close(); }

koMutex& koIniFile::GetLock() {
  // Never destroyed: writers may still run while static objects go away.
  static koMutex* lock = new koMutex();
  return *lock;
}

void koIniFile::FreeSections() {
  if (sections_ == nullptr) return;
  IniSection* section = sections_->first;
  while (section != nullptr) {
    IniKey* key = section->firstKey;
    while (key != nullptr) {
      IniKey* nextKey = key->next;
      delete key;
      key = nextKey;
    }
    IniSection* nextSection = section->next;
    delete section;
    section = nextSection;
  }
  delete sections_;
  sections_ = nullptr;
}

void koIniFile::Close() {
  FreeSections();
  tail_.Clear();
  error_ = nullptr;
  loadFailed_ = 0;
  filtered_ = 0;
}

int koIniFile::Open(const char* path, const char* sectionFilter, const char* keyFilter) {
  Close();
  path_.SetAs(path != nullptr ? path : "");
  return Load(sectionFilter, keyFilter);  // creates the section list
}

int koIniFile::Load(const char* sectionFilter, const char* keyFilter) {
  if (sections_ == nullptr) {
    sections_ = new (std::nothrow) IniSectionList();
    if (sections_ == nullptr) {
      error_ = kNoMemory;
      loadFailed_ = 1;
      KO_LOG(-1, "koIniFile::Load section list");
      return 0;
    }
  }
  koString data;
  int missing = 0;
  if (!ReadWholeFile(path_.GetString(), data, &missing)) {
    error_ = kOpenFileError;
    loadFailed_ = missing ? 0 : 1;
    return 0;
  }
  if (!LoadBytes(data.GetString(), data.GetLength(), sectionFilter, keyFilter)) {
    error_ = kNoMemory;
    loadFailed_ = 1;
    FreeSections();
    tail_.Clear();
    sections_ = new (std::nothrow) IniSectionList();
    LogStep(-1, "koIniFile::Load out of memory reading", path_.GetString());
    return 0;
  }
  filtered_ = (sectionFilter != nullptr || keyFilter != nullptr) ? 1 : 0;
  return 1;
}

int koIniFile::LoadBytes(const char* data, uint32_t length, const char* sectionFilter,
                         const char* keyFilter) {
  const bool keepLines = sectionFilter == nullptr && keyFilter == nullptr;
  uint32_t pos = 0;
  if (length >= 3 && memcmp(data, "\xEF\xBB\xBF", 3) == 0) pos = 3;

  koString pending;  // kept lines waiting for the node they stand before
  koString current;  // name of the section the next key line belongs to
  IniSection* currentSection = nullptr;
  bool taken = sectionFilter == nullptr || sectionFilter[0] == 0;

  while (pos < length) {
    const char* line = data + pos;
    const char* eol = static_cast<const char*>(memchr(line, '\n', length - pos));
    int lineLength = static_cast<int>(eol != nullptr ? eol - line : length - pos);
    pos += static_cast<uint32_t>(lineLength) + (eol != nullptr ? 1 : 0);
    // Every carriage return before the line end goes with it, also on the
    // last line: a kept one would be written as "\r\n" and read back without it.
    while (lineLength > 0 && line[lineLength - 1] == '\r') --lineLength;

    const char* close = nullptr;
    const char* equals = nullptr;
    if (lineLength > 0 && line[0] == '[')
      close = static_cast<const char*>(memchr(line, ']', static_cast<size_t>(lineLength)));
    else if (lineLength > 0 && line[0] != '#' && line[0] != ';')
      equals = static_cast<const char*>(memchr(line, '=', static_cast<size_t>(lineLength)));

    if (close != nullptr) {
      int nameLength = static_cast<int>(close - line - 1);
      current.SetAs(line + 1, nameLength);
      if (!keepLines) {
        taken = sectionFilter == nullptr || strcmp(current.GetString(), sectionFilter) == 0;
        currentSection = nullptr;  // made when its first wanted key comes
        continue;
      }
      // A repeated header adds its keys to the first section of that name.
      currentSection = FindSection(current.GetString());
      if (currentSection == nullptr) {
        currentSection = AddSection(line + 1, nameLength);
        if (currentSection == nullptr) return 0;
        currentSection->comment.SetAs(pending);
        currentSection->headerRest.SetAs(close + 1, static_cast<int>(line + lineLength - close - 1));
        pending.Clear();
      }
    } else if (equals != nullptr && equals != line) {
      int keyLength = static_cast<int>(equals - line);
      int valueLength = lineLength - keyLength - 1;
      if (!keepLines) {
        if (!taken) continue;
        if (keyFilter != nullptr &&
            (static_cast<int>(strlen(keyFilter)) != keyLength ||
             memcmp(line, keyFilter, static_cast<size_t>(keyLength)) != 0))
          continue;
        if (currentSection == nullptr) {
          currentSection = FindSection(current.GetString());
          if (currentSection == nullptr) currentSection = AddSection(current.GetString(), -1);
          if (currentSection == nullptr) return 0;
        }
        if (!Put(currentSection, line, keyLength, equals + 1, valueLength, nullptr)) return 0;
        continue;
      }
      if (currentSection == nullptr) {
        // Keys before the first header: an unnamed section without a header line.
        currentSection = AddSection("", 0);
        if (currentSection == nullptr) return 0;
        currentSection->hasHeader = 0;
      }
      if (!Put(currentSection, line, keyLength, equals + 1, valueLength, &pending)) return 0;
    } else if (keepLines) {
      // Comments, blank lines and lines we cannot parse stay where they are.
      pending.Append(line, lineLength);
      pending.Append("\n", 1);
    }
  }
  if (keepLines) tail_.SetAs(pending);
  return 1;
}

IniSection* koIniFile::AddSection(const char* name, int length) {
  IniSection* section = new (std::nothrow) IniSection();
  if (section == nullptr) return nullptr;
  section->name.SetAs(name, length);
  if (sections_->last == nullptr)
    sections_->first = section;
  else
    sections_->last->next = section;
  sections_->last = section;
  sections_->count++;
  return section;
}

int koIniFile::Put(IniSection* s, const char* key, int keyLength, const char* value,
                   int valueLength, koString* comment) {
  for (IniKey* k = s->firstKey; k != nullptr; k = k->next) {
    if (SameName(k->name, key, keyLength)) {
      if (overwrite_) k->value.SetAs(value, valueLength);
      return 1;
    }
  }
  IniKey* k = new (std::nothrow) IniKey();
  if (k == nullptr) return 0;
  k->name.SetAs(key, keyLength);
  k->value.SetAs(value, valueLength);
  if (comment != nullptr) {
    k->comment.SetAs(*comment);
    comment->Clear();
  }
  if (s->lastKey == nullptr)
    s->firstKey = k;
  else
    s->lastKey->next = k;
  s->lastKey = k;
  s->keyCount++;
  return 1;
}

int koIniFile::SetValue(const char* section, const char* key, const char* value) {
  if (section == nullptr) section = "";
  if (value == nullptr) value = "";
  // Each of these would be read back as something else, or spill into lines
  // of their own.
  bool refused = key == nullptr || key[0] == 0 || key[0] == '[' || key[0] == '#' ||
                 key[0] == ';' || strpbrk(key, "=\r\n") != nullptr ||
                 strpbrk(section, "]\r\n") != nullptr || strpbrk(value, "\r\n") != nullptr;
  if (refused) {
    koString msg;
    msg.Format("koIniFile::SetValue refused [%s] %s: line break or reserved character", section,
               key != nullptr ? key : "(null)");
    KO_LOG(-1, msg.GetString());
    return 0;
  }
  IniSection* s = FindSection(section);
  if (s == nullptr && sections_ == nullptr) sections_ = new (std::nothrow) IniSectionList();
  if (s == nullptr && sections_ != nullptr) s = AddSection(section, -1);
  if (s == nullptr || !Put(s, key, static_cast<int>(strlen(key)), value, -1, nullptr)) {
    error_ = kNoMemory;
    KO_LOG(-1, "koIniFile::SetValue out of memory");
    return 0;
  }
  return 1;
}

int koIniFile::GetValue(const char* section, const char* key, const char* def,
                        koString& out) const {
  const IniKey* k = (section != nullptr && key != nullptr) ? FindKey(FindSection(section), key)
                                                           : nullptr;
  if (k != nullptr)
    out.SetAs(k->value);
  else
    out.SetAs(def != nullptr ? def : "");
  return static_cast<int>(out.GetLength());
}

IniSection* koIniFile::FindSection(const char* name) const {
  if (sections_ == nullptr || name == nullptr) return nullptr;
  for (IniSection* s = sections_->first; s != nullptr; s = s->next)
    if (strcmp(s->name.GetString(), name) == 0) return s;
  return nullptr;
}

IniKey* koIniFile::FindKey(const IniSection* section, const char* name) const {
  if (section == nullptr || name == nullptr) return nullptr;
  for (IniKey* k = section->firstKey; k != nullptr; k = k->next)
    if (strcmp(k->name.GetString(), name) == 0) return k;
  return nullptr;
}

void koIniFile::Print(koString& content) const {
  if (sections_ != nullptr) {
    for (const IniSection* s = sections_->first; s != nullptr; s = s->next) {
      content.Append(s->comment);
      if (s->hasHeader) {
        content.Append("[", 1);
        content.Append(s->name);
        content.Append("]", 1);
        content.Append(s->headerRest);
        content.Append("\n", 1);
      }
      for (const IniKey* k = s->firstKey; k != nullptr; k = k->next) {
        content.Append(k->comment);
        content.Append(k->name);
        content.Append("=", 1);
        content.Append(k->value);
        content.Append("\n", 1);
      }
    }
  }
  content.Append(tail_);
}

int koIniFile::Save(const char* path) {
  const char* target = path != nullptr ? path : path_.GetString();
  if (target[0] == 0) {
    error_ = kOpenFileError;
    KO_LOG(-1, "koIniFile::Save without a path");
    return 0;
  }
  if ((loadFailed_ || filtered_) && strcmp(target, path_.GetString()) == 0) {
    // Writing now would replace the file with the part of it we hold.
    LogStep(-1, "koIniFile::Save refused, file was not read whole:", target);
    return 0;
  }

  koString content;
  Print(content);

  // Write through a symbolic link rather than replace it with a plain file.
  koString resolved;
  struct stat st;
  if (lstat(target, &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(target, nullptr);
    if (real != nullptr) {
      resolved.SetAs(real);
      free(real);
      target = resolved.GetString();
    }
  }
  if (!ReplaceFile(target, content, false)) {
    error_ = kOpenFileError;
    return 0;
  }
  return 1;
}

int IniReadString(const char* section, const char* key, const char* def, koString& out,
                  const char* path) {
  koIniFile ini;
  // Without a path, section or key nothing is read: the empty document gives `def`.
  if (path != nullptr && section != nullptr && key != nullptr) ini.Open(path, section, key);
  return ini.GetValue(section, key, def, out);
}

int IniReadInt(const char* section, const char* key, int def, const char* path) {
  koString text;
  koString defText;
  defText.Format("%d", def);
  IniReadString(section, key, defText.GetString(), text, path);
  return text.ToInt();
}

int IniReadPort(const char* section, const char* key, int def, const char* path) {
  koString text;
  IniReadString(section, key, "", text, path);
  // Digit by digit and at most five: a longer number must not wrap into range.
  if (text.GetLength() == 0 || text.GetLength() > 5) return def;
  int port = 0;
  for (const char* p = text.GetString(); *p != 0; ++p) {
    if (*p < '0' || *p > '9') return def;
    port = port * 10 + (*p - '0');
  }
  return port >= 1 && port <= 65535 ? port : def;
}

int IniWriteString(const char* section, const char* key, const char* value, const char* path) {
  if (path == nullptr) {
    KO_LOG(-1, "IniWriteString without a path");
    return 0;
  }
  koMutexGuard hold(koIniFile::GetLock());
  koIniFile ini;
  ini.Open(path);
  // Open has logged why; the file stays as it is.
  if (ini.LoadFailed()) return 0;
  if (!ini.SetValue(section, key, value)) return 0;
  return ini.Save();
}

int IniCreateFile(const char* section, const char* key, const char* value, const char* path) {
  if (path == nullptr) {
    KO_LOG(-1, "IniCreateFile without a path");
    return 0;
  }
  koIniFile ini;
  if (!ini.SetValue(section, key, value)) return 0;
  koString content;
  ini.Print(content);
  koMutexGuard hold(koIniFile::GetLock());
  return ReplaceFile(path, content, true);
}

int IniRemoveStaleTemps(const char* path) {
  if (path == nullptr) return 0;
  const char* slash = strrchr(path, '/');
  koString folder;
  if (slash == nullptr)
    folder.SetAs(".");
  else
    folder.SetAs(path, slash == path ? 1 : static_cast<int>(slash - path));
  const char* base = slash != nullptr ? slash + 1 : path;
  size_t baseLength = strlen(base);
  DIR* dir = opendir(folder.GetString());
  if (dir == nullptr) return 0;
  int removed = 0;
  while (struct dirent* entry = readdir(dir)) {
    // "<base>.<pid>.<n>.tmp", written by a process that no longer runs.
    const char* name = entry->d_name;
    if (strncmp(name, base, baseLength) != 0 || name[baseLength] != '.') continue;
    char* end = nullptr;
    long pid = strtol(name + baseLength + 1, &end, 10);
    if (end == name + baseLength + 1 || *end != '.' || pid <= 0) continue;
    char* tail = nullptr;
    strtoul(end + 1, &tail, 10);
    if (tail == end + 1 || strcmp(tail, ".tmp") != 0) continue;
    if (pid == getpid() || kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    koString file;
    file.Format("%s/%s", folder.GetString(), name);
    if (unlinkat(dirfd(dir), name, 0) == 0) {
      ++removed;
      LogStep(0, "Removed the temporary file of an ended process:", file.GetString());
    }
  }
  closedir(dir);
  return removed;
}

#include "platform/desktop/registry/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/kplatform.h"
#include "core/ksqlite.h"
#include "platform/os/utf.h"

enum Hive { kMachineHive, kUserHive };

struct koRegKey {
  Hive hive;
  bool predefined;
  bool classes;  // the predefined classes root: starts at "Software\Classes"
  int access;
  int64_t id;
  koSQLite* db;
};

namespace {

koRegKey gClassesRoot{kMachineHive, true, true, kRegReadWrite, 0, nullptr};
koRegKey gCurrentUser{kUserHive, true, false, kRegReadWrite, 0, nullptr};
koRegKey gLocalMachine{kMachineHive, true, false, kRegReadWrite, 0, nullptr};

// Marks our files ("PVRG"), so no other database is ever taken for a hive.
const int kApplicationId = 0x50565247;
const int64_t kRootId = 1;
const size_t kMaxNameBytes = 255;

long FromSqlite(int rc) {
  switch (rc) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_SCHEMA:
      return kRegBadDb;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kRegAccessDenied;
    case SQLITE_NOMEM:
      return kRegOutOfMemory;
    default:
      return kRegIoFailed;
  }
}

// The failure of the connection's last statement as an answer.
long Failed(koSQLite& db) { return FromSqlite(db.GetDbErrCode()); }

int HiveFile(Hive hive, koString& file, mode_t* folder_mode) {
  const char* redirect = getenv("PV_REGISTRY_DIR");
  *folder_mode = hive == kUserHive ? 0700 : 0755;
  if (redirect != nullptr && redirect[0] == '/') {
    file.SetAs(redirect);
  } else if (hive == kMachineHive) {
    file.SetAs("/var/lib/postvane/registry");
  } else {
    if (!koGetUserFolder(kFolderState, file)) return 0;
    file += "/postvane/registry";
  }
  file += hive == kUserHive ? "/user.db" : "/machine.db";
  return 1;
}

long Exec(koSQLite& db, const char* sql) {
  koStatement s(&db, sql);
  return s.Step() ? kRegOk : Failed(db);
}

// One transaction that is rolled back unless committed; an inactive one
// (reads) neither begins nor ends anything.
class Transaction {
 public:
  explicit Transaction(koSQLite& db, bool active = true) : db_(db), done_(!active) {
    result_ = active ? Exec(db_, "BEGIN IMMEDIATE TRANSACTION") : kRegOk;
  }
  ~Transaction() {
    if (result_ == kRegOk && !done_) Exec(db_, "ROLLBACK TRANSACTION");
  }
  long Began() const { return result_; }
  long Commit() {
    if (done_) return kRegOk;
    done_ = true;
    long rc = Exec(db_, "END TRANSACTION");
    if (rc != kRegOk) Exec(db_, "ROLLBACK TRANSACTION");
    return rc;
  }

 private:
  koSQLite& db_;
  bool done_;
  long result_;
};

// kRegOk when the file is one of our hives; kRegNotFound when it holds no
// tables at all (a new, empty file); kRegBadDb for anything else.
long CheckFormat(koSQLite& db) {
  koStatement id(&db, "PRAGMA application_id");
  if (!id.Step() || !id.HasRow()) return Failed(db);
  if (db.GetInt(id.Handle(), 0) == kApplicationId) return kRegOk;
  koStatement tables(&db, "SELECT COUNT(*) FROM sqlite_master");
  if (!tables.Step() || !tables.HasRow()) return Failed(db);
  return db.GetInt(tables.Handle(), 0) == 0 ? kRegNotFound : kRegBadDb;
}

long MakeSchema(koSQLite& db) {
  Transaction t(db);
  if (t.Began() != kRegOk) return t.Began();
  // Another process may have made it while this one waited for the lock.
  long rc = CheckFormat(db);
  if (rc != kRegNotFound) return rc;
  static const char* const kSchema[] = {
      "CREATE TABLE regkey(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
      " name TEXT NOT NULL, folded TEXT NOT NULL, UNIQUE(parent, folded))",
      "CREATE TABLE regvalue(key INTEGER NOT NULL, name TEXT NOT NULL, folded TEXT NOT NULL,"
      " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, folded))",
      "INSERT INTO regkey(id, parent, name, folded) VALUES(1, 0, '', '')",
      "PRAGMA application_id = 1347834439",
  };
  static_assert(kApplicationId == 1347834439, "the schema's application id");
  for (const char* sql : kSchema)
    if ((rc = Exec(db, sql)) != kRegOk) return rc;
  return t.Commit();
}

long ErrnoToReg(int err) {
  return err == EACCES || err == EPERM || err == EROFS ? kRegAccessDenied : kRegIoFailed;
}

// A hive's folder is a real folder, its file (when `file` is not null) a
// real file: a link could lead an elevated writer anywhere. kRegNotFound
// when one is missing.
long CheckNoLinks(const koString& folder, const koString* file) {
  struct stat st;
  if (lstat(folder.GetString(), &st) != 0) return errno == ENOENT ? kRegNotFound : ErrnoToReg(errno);
  if (!S_ISDIR(st.st_mode)) return kRegAccessDenied;
  if (file == nullptr) return kRegOk;
  if (lstat(file->GetString(), &st) != 0) return errno == ENOENT ? kRegNotFound : ErrnoToReg(errno);
  return S_ISREG(st.st_mode) ? kRegOk : kRegAccessDenied;
}

// Opens the hive's file for the access asked, never through a link.
long OpenHive(Hive hive, int access, koSQLite& db) {
  koString file;
  mode_t folder_mode;
  if (!HiveFile(hive, file, &folder_mode)) return kRegIoFailed;
  koString folder;
  folder.SetAs(file.GetString(), static_cast<int>(strrchr(file.GetString(), '/') - file.GetString()));
  if ((access & kRegWrite) == 0) {
    long rc = CheckNoLinks(folder, &file);
    if (rc != kRegOk) return rc;
    if (!db.Open(file, 1 | koSQLite::kOpenNoFollow)) return Failed(db);
    return CheckFormat(db);
  }
  int err = 0;
  if (!koMakeFolders(folder.GetString(), folder_mode, &err)) return ErrnoToReg(err);
  long rc = CheckNoLinks(folder, nullptr);
  if (rc != kRegOk) return rc == kRegNotFound ? kRegIoFailed : rc;
  // The machine hive is read by every user (HKCR), the user's by its owner
  // alone, whatever the umask; SQLite gives its journals the file's mode.
  int fd = open(file.GetString(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    fchmod(fd, hive == kUserHive ? 0600 : 0644);
    close(fd);
  } else if (errno != EEXIST) {
    return ErrnoToReg(errno);
  }
  rc = CheckNoLinks(folder, &file);
  if (rc != kRegOk) return rc == kRegNotFound ? kRegIoFailed : rc;
  // SQLite would open a file it may not write read-only without a word;
  // its journal needs the folder too.
  if (::access(folder.GetString(), W_OK) != 0) return ErrnoToReg(errno);
  if (::access(file.GetString(), W_OK) != 0) return ErrnoToReg(errno);
  if (!db.Open(file, koSQLite::kOpenNoFollow)) return Failed(db);
  rc = CheckFormat(db);
  return rc == kRegNotFound ? MakeSchema(db) : rc;
}

long KeyExists(koSQLite& db, int64_t id) {
  koStatement s(&db, "SELECT 1 FROM regkey WHERE id = ?");
  if (!s.Int64(id).Step()) return Failed(db);
  return s.HasRow() ? kRegOk : kRegKeyDeleted;
}

// Names compare as koString::EqualsNoCase does: ASCII letters as lower case.
void Fold(const char* name, koString& out) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  out.SetAs(folded.c_str(), static_cast<int>(folded.size()));
}

// The names of path; kRegInvalidParameter for an empty name (other than
// after one trailing '\') or one that is too long.
long SplitPath(const char* path, std::vector<koString>& names) {
  if (path == nullptr) return kRegOk;
  const char* p = path;
  while (*p != 0) {
    const char* end = strchr(p, '\\');
    size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (n == 0 || n > kMaxNameBytes) return kRegInvalidParameter;
    names.emplace_back();
    names.back().SetAs(p, static_cast<int>(n));
    if (end == nullptr) break;
    p = end + 1;
  }
  return kRegOk;
}

// *id = the key named by names below start, made where missing when create
// is set (inside the caller's transaction).
long Walk(koSQLite& db, int64_t start, const std::vector<koString>& names, bool create,
          int64_t* id) {
  int64_t at = start;
  koString folded;
  for (const koString& name : names) {
    Fold(name.GetString(), folded);
    koStatement find(&db, "SELECT id FROM regkey WHERE parent = ? AND folded = ?");
    if (!find.Int64(at).Text(folded).Step()) return Failed(db);
    if (find.HasRow()) {
      at = db.GetInt64(find.Handle(), 0);
      continue;
    }
    if (!create) return kRegNotFound;
    koStatement add(&db, "INSERT INTO regkey(parent, name, folded) VALUES(?, ?, ?)");
    if (!add.Int64(at).Text(name).Text(folded).Step()) return Failed(db);
    at = db.GetLastInsertRowId();
  }
  *id = at;
  return kRegOk;
}

long OpenOrCreate(koHKey parent, const char* path, int access, bool create, koHKey* out) {
  if (out == nullptr && !create) return kRegInvalidParameter;
  if (parent == nullptr) return kRegInvalidHandle;
  if ((access & kRegReadWrite) == 0 || (access & ~kRegReadWrite) != 0) return kRegInvalidParameter;
  // Making keys below an open key needs that key open for writing.
  if (create && !parent->predefined && (parent->access & kRegWrite) == 0) return kRegAccessDenied;
  std::vector<koString> names;
  if (parent->classes) {
    names.emplace_back("Software");
    names.emplace_back("Classes");
  }
  long rc = SplitPath(path, names);
  if (rc != kRegOk) return rc;
  koRegKey* key = new (std::nothrow) koRegKey{parent->hive, false, false, access, 0, nullptr};
  if (key == nullptr) return kRegOutOfMemory;
  key->db = new (std::nothrow) koSQLite();
  if (key->db == nullptr) {
    delete key;
    return kRegOutOfMemory;
  }
  rc = OpenHive(key->hive, access, *key->db);
  if (rc == kRegOk) {
    int64_t start = parent->predefined ? kRootId : parent->id;
    Transaction t(*key->db, create);
    rc = t.Began();
    if (rc == kRegOk && !parent->predefined) rc = KeyExists(*key->db, start);
    if (rc == kRegOk) rc = Walk(*key->db, start, names, create, &key->id);
    if (rc == kRegOk) rc = t.Commit();
  }
  if (rc != kRegOk || out == nullptr) {
    koRegCloseKey(key);
    return rc;
  }
  *out = key;
  return kRegOk;
}

// A handle for an operation on key: key itself, or for a predefined key its
// root opened for the access the operation needs. Checks the access and that
// the key still exists.
class Target {
 public:
  Target(koHKey key, int access) {
    if (key == nullptr) {
      rc_ = kRegInvalidHandle;
    } else if (key->predefined) {
      rc_ = OpenOrCreate(key, nullptr, access, (access & kRegWrite) != 0, &owned_);
      key_ = owned_;
    } else if ((key->access & access) != access) {
      rc_ = kRegAccessDenied;
    } else {
      key_ = key;
      rc_ = KeyExists(*key_->db, key_->id);
    }
  }
  ~Target() { koRegCloseKey(owned_); }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;

  long Result() const { return rc_; }
  koSQLite& Db() { return *key_->db; }
  int64_t Id() const { return key_->id; }

 private:
  koHKey key_ = nullptr;
  koHKey owned_ = nullptr;
  long rc_ = kRegOk;
};

const char* NameOf(const char* name) { return name != nullptr ? name : ""; }

void AppendQuoted(const char* text, koString& out) {
  out += "\"";
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '"' || *p == '\\') out += "\\";
    out.Append(p, 1);
  }
  out += "\"";
}

// The text of a REG_SZ value whose bytes are exactly that text in UTF-16LE
// and one zero unit; 0 for anything else.
int ExactText(const koString& data, koString& text) {
  uint32_t n = data.GetLength();
  if (n < 2 || n % 2 != 0) return 0;
  std::vector<char16_t> units(n / 2);
  memcpy(units.data(), data.GetString(), n);
  if (units.back() != 0) return 0;
  for (size_t i = 0; i + 1 < units.size(); ++i)
    if (units[i] == 0) return 0;
  text.SetAsWideChar(units.data());
  // Unpaired surrogates do not come back the same: those stay bytes.
  size_t back = koUtf8ToUtf16(text.GetString(), text.GetLength(), nullptr);
  if (back + 1 != units.size()) return 0;
  std::vector<char16_t> again(back + 1, 0);
  koUtf8ToUtf16(text.GetString(), text.GetLength(), again.data());
  return again == units ? 1 : 0;
}

}  // namespace

void koRegFormatValue(uint32_t type, const koString& data, koString& out) {
  koString text;
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.GetString());
  if (type == REG_SZ && ExactText(data, text)) {
    AppendQuoted(text.GetString(), out);
    return;
  }
  if (type == REG_DWORD && data.GetLength() == 4) {
    uint32_t v = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    out.AppendFormat("dword:%08x", v);
    return;
  }
  if (type == REG_BINARY)
    out += "hex:";
  else
    out.AppendFormat("hex(%u):", type);
  for (uint32_t i = 0; i < data.GetLength(); ++i) out.AppendFormat(i == 0 ? "%02x" : ",%02x", bytes[i]);
}

namespace {

long ExportKey(koHKey key, const char* shown, koString& out) {
  out += "[";
  out += shown;
  out += "]\n";
  koString name;
  koString data;
  uint32_t type = 0;
  long rc;
  uint32_t i = 0;
  for (; (rc = koRegEnumValue(key, i, name, &type, data)) == kRegOk; ++i) {
    if (name.GetLength() == 0)
      out += "@";
    else
      AppendQuoted(name.GetString(), out);
    out += "=";
    koRegFormatValue(type, data, out);
    out += "\n";
  }
  if (rc != kRegNoMoreItems) return rc;
  out += "\n";
  for (i = 0; (rc = koRegEnumKey(key, i, name)) == kRegOk; ++i) {
    koHKey child = nullptr;
    if ((rc = koRegOpenKey(key, name.GetString(), kRegRead, &child)) != kRegOk) return rc;
    koString path(shown);
    path += "\\";
    path += name;
    rc = ExportKey(child, path.GetString(), out);
    koRegCloseKey(child);
    if (rc != kRegOk) return rc;
  }
  return rc == kRegNoMoreItems ? kRegOk : rc;
}

}  // namespace

koHKey const kRegClassesRoot = &gClassesRoot;
koHKey const kRegCurrentUser = &gCurrentUser;
koHKey const kRegLocalMachine = &gLocalMachine;

int koRegHiveFile(koHKey predefined, koString& out) {
  mode_t mode;
  return predefined != nullptr && HiveFile(predefined->hive, out, &mode) ? 1 : 0;
}

const char* koRegErrorText(long error) {
  switch (error) {
    case kRegOk: return "done";
    case kRegNotFound: return "no such key or value";
    case kRegAccessDenied: return "access denied";
    case kRegInvalidHandle: return "invalid key handle";
    case kRegOutOfMemory: return "out of memory";
    case kRegInvalidParameter: return "invalid key path or parameter";
    case kRegMoreData: return "more data than the buffer holds";
    case kRegNoMoreItems: return "no more items";
    case kRegBadDb: return "the registry file is not a registry database";
    case kRegIoFailed: return "the registry file cannot be opened or read";
    case kRegKeyDeleted: return "the key was deleted";
    case kRegKeyHasChildren: return "the key is not empty";
    default: return "unknown error";
  }
}

long koRegOpenKey(koHKey parent, const char* path, int access, koHKey* out) {
  return OpenOrCreate(parent, path, access, false, out);
}

long koRegCreateKey(koHKey parent, const char* path, koHKey* out) {
  return OpenOrCreate(parent, path, kRegReadWrite, true, out);
}

long koRegCloseKey(koHKey key) {
  if (key != nullptr && !key->predefined) {
    delete key->db;
    delete key;
  }
  return kRegOk;
}

long koRegSetValue(koHKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
  if (data == nullptr && size != 0) return kRegInvalidParameter;
  if (size > INT32_MAX) return kRegInvalidParameter;
  Target t(key, kRegWrite);
  if (t.Result() != kRegOk) return t.Result();
  koString folded;
  Fold(NameOf(name), folded);
  Transaction tx(t.Db());
  if (tx.Began() != kRegOk) return tx.Began();
  long rc = KeyExists(t.Db(), t.Id());
  if (rc != kRegOk) return rc;
  koStatement s(&t.Db(),
                "INSERT INTO regvalue(key, name, folded, type, data) VALUES(?, ?, ?, ?, ?)"
                " ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
  if (!s.Int64(t.Id()).Text(NameOf(name)).Text(folded).Int64(type).Blob(data, static_cast<int>(size)).Step())
    return Failed(t.Db());
  return tx.Commit();
}

long koRegGetValue(koHKey key, const char* name, uint32_t* type, koString& out) {
  out.Clear();
  Target t(key, kRegRead);
  if (t.Result() != kRegOk) return t.Result();
  koString folded;
  Fold(NameOf(name), folded);
  koStatement s(&t.Db(), "SELECT type, data FROM regvalue WHERE key = ? AND folded = ?");
  if (!s.Int64(t.Id()).Text(folded).Step()) return Failed(t.Db());
  if (!s.HasRow()) return kRegNotFound;
  if (type != nullptr) *type = static_cast<uint32_t>(t.Db().GetInt64(s.Handle(), 0));
  const void* bytes = t.Db().GetBlob(s.Handle(), 1);
  out.Append(static_cast<const char*>(bytes), t.Db().GetBytes(s.Handle(), 1));
  return kRegOk;
}

long koRegQueryValue(koHKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
  if (data != nullptr && size == nullptr) return kRegInvalidParameter;
  koString bytes;
  long rc = koRegGetValue(key, name, type, bytes);
  if (rc != kRegOk) return rc;
  uint32_t have = size != nullptr ? *size : 0;
  if (size != nullptr) *size = bytes.GetLength();
  if (data == nullptr) return kRegOk;
  if (have < bytes.GetLength()) return kRegMoreData;
  memcpy(data, bytes.GetString(), bytes.GetLength());
  return kRegOk;
}

long koRegDeleteValue(koHKey key, const char* name) {
  Target t(key, kRegWrite);
  if (t.Result() != kRegOk) return t.Result();
  koString folded;
  Fold(NameOf(name), folded);
  // The whole delete happens at the first step; a row says there was one.
  koStatement s(&t.Db(), "DELETE FROM regvalue WHERE key = ? AND folded = ? RETURNING 1");
  if (!s.Int64(t.Id()).Text(folded).Step()) return Failed(t.Db());
  return s.HasRow() ? kRegOk : kRegNotFound;
}

namespace {

long DeleteKey(koHKey parent, const char* path, bool only_empty) {
  if (path == nullptr || *path == 0) return kRegInvalidParameter;
  koHKey key = nullptr;
  long rc = koRegOpenKey(parent, path, kRegReadWrite, &key);
  if (rc != kRegOk) return rc;
  koSQLite& db = *key->db;
  {
    Transaction t(db);
    rc = t.Began();
    if (rc == kRegOk) rc = KeyExists(db, key->id);
    if (rc == kRegOk && only_empty) {
      koStatement s(&db,
                    "SELECT 1 FROM regkey WHERE parent = ?1 UNION ALL"
                    " SELECT 1 FROM regvalue WHERE key = ?1 LIMIT 1");
      if (!s.Int64(key->id).Step())
        rc = Failed(db);
      else if (s.HasRow())
        rc = kRegKeyHasChildren;
    }
    // The key and all below it by parent links: names never meet a pattern.
    static const char* const kDelete[] = {
        "WITH RECURSIVE below(id) AS (SELECT ? UNION ALL SELECT regkey.id FROM regkey"
        " JOIN below ON regkey.parent = below.id)"
        " DELETE FROM regvalue WHERE key IN (SELECT id FROM below)",
        "WITH RECURSIVE below(id) AS (SELECT ? UNION ALL SELECT regkey.id FROM regkey"
        " JOIN below ON regkey.parent = below.id)"
        " DELETE FROM regkey WHERE id IN (SELECT id FROM below)",
    };
    for (const char* sql : kDelete) {
      if (rc != kRegOk) break;
      koStatement s(&db, sql);
      if (!s.Int64(key->id).Step()) rc = Failed(db);
    }
    if (rc == kRegOk) rc = t.Commit();
  }
  koRegCloseKey(key);
  return rc;
}

}  // namespace

long koRegDeleteTree(koHKey parent, const char* path) { return DeleteKey(parent, path, false); }

long koRegDeleteEmptyKey(koHKey parent, const char* path) { return DeleteKey(parent, path, true); }

long koRegEnumKey(koHKey key, uint32_t index, koString& name) {
  name.Clear();
  Target t(key, kRegRead);
  if (t.Result() != kRegOk) return t.Result();
  koStatement s(&t.Db(), "SELECT name FROM regkey WHERE parent = ? ORDER BY folded LIMIT 1 OFFSET ?");
  if (!s.Int64(t.Id()).Int64(index).Step()) return Failed(t.Db());
  if (!s.HasRow()) return kRegNoMoreItems;
  name.SetAs(t.Db().GetText(s.Handle(), "name"));
  return kRegOk;
}

long koRegEnumValue(koHKey key, uint32_t index, koString& name, uint32_t* type, koString& data) {
  name.Clear();
  data.Clear();
  Target t(key, kRegRead);
  if (t.Result() != kRegOk) return t.Result();
  koStatement s(&t.Db(),
                "SELECT name, type, data FROM regvalue WHERE key = ? ORDER BY folded LIMIT 1 OFFSET ?");
  if (!s.Int64(t.Id()).Int64(index).Step()) return Failed(t.Db());
  if (!s.HasRow()) return kRegNoMoreItems;
  name.SetAs(t.Db().GetText(s.Handle(), "name"));
  if (type != nullptr) *type = static_cast<uint32_t>(t.Db().GetInt64(s.Handle(), 1));
  const void* bytes = t.Db().GetBlob(s.Handle(), 2);
  data.Append(static_cast<const char*>(bytes), t.Db().GetBytes(s.Handle(), 2));
  return kRegOk;
}

long koRegSetString(koHKey key, const char* name, const char* text) {
  const char* s = text != nullptr ? text : "";
  size_t n = strlen(s);
  std::vector<char16_t> units(koUtf8ToUtf16(s, n, nullptr) + 1, 0);
  koUtf8ToUtf16(s, n, units.data());
  return koRegSetValue(key, name, REG_SZ, units.data(),
                       static_cast<uint32_t>(units.size() * sizeof(char16_t)));
}

long koRegGetString(koHKey key, const char* name, koString& text) {
  text.Clear();
  koString data;
  uint32_t type = REG_NONE;
  long rc = koRegGetValue(key, name, &type, data);
  if (rc != kRegOk) return rc;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return kRegInvalidParameter;
  std::vector<char16_t> units(data.GetLength() / 2 + 1, 0);
  memcpy(units.data(), data.GetString(), data.GetLength() / 2 * 2);
  text.SetAsWideChar(units.data());
  return kRegOk;
}

long koRegExport(koHKey key, const char* shown, koString& out) {
  koHKey own = nullptr;
  long rc = koRegOpenKey(key, nullptr, kRegRead, &own);
  if (rc == kRegOk) rc = ExportKey(own, shown != nullptr ? shown : "", out);
  koRegCloseKey(own);
  return rc;
}

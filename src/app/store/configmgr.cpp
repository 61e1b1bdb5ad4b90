#include "app/store/configmgr.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "app/store/configlist.h"
#include "core/kinifile.h"
#include "core/klog.h"
#include "core/kpasswd.h"
#include "core/kplatform.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"

ConfigMgr* gConfigMgr = nullptr;

namespace {

const char kIniName[] = "postvane.ini";
const char kSection[] = "GENERAL";
const int kDefaultPort = 40000;
const int kDefaultImapPort = 993;

// The browsers' default profile in their user-data folders, and the
// extension's local-storage file inside it.
const char kBrowserProfile[] = "Default";
const char kLocalStorageFile[] =
    "chrome-extension_hdlheflidpohcjiefeogmcljhkkndkge_0.localstorage";

void CopyText(koString& field, const char* text) { field.SetAs(text != nullptr ? text : ""); }

// Creates the ini file at path holding only the default port, unless a file
// is there already. It appears whole or not at all: a crash here must never
// leave an empty file that a reader takes for one without a port.
void EnsureIniFile(const koString& path) {
  struct stat st;
  if (stat(path.GetString(), &st) == 0) return;
  koString port;
  port.Format("%d", kDefaultPort);
  if (!IniCreateFile(kSection, "Port", port.GetString(), path.GetString()))
    KO_LOG(-1, "Initilize INI failed");
}

int IniPathIn(int (*folder)(koString&), koString& path) {
  path.Clear();
  koString dir;
  if (folder(dir) == 0) return 0;
  path.Format("%s/%s", dir.GetString(), kIniName);
  EnsureIniFile(path);
  return 1;
}

void ReadMainIni(const char* key, const char* def, koString& out) {
  koString path;
  if (!ConfigMgr::OpenIniInConfigDir(path)) {
    out.SetAs(def);
    return;
  }
  IniReadString(kSection, key, def, out, path.GetString());
}

}  // namespace

// ---- ConfigMgr.

ConfigMgr::ConfigMgr() : accounts_(new ConfigList()) {
  // A process killed while it wrote an ini file left its temporary file.
  // Only the folders are looked at: the files are made when first used.
  for (int (*folder)(koString&) : {PathMgr::GetConfigDir, PathMgr::GetLowIntegrityDataDir}) {
    koString dir;
    if (folder(dir) == 0) continue;
    koString path;
    path.Format("%s/%s", dir.GetString(), kIniName);
    IniRemoveStaleTemps(path.GetString());
  }
  // No other thread exists yet, so the fields are filled without the lock.
  accounts_->LoadPreferences(preferences_);
  if (!accounts_->LoadProxySettings(proxy_)) KO_LOG(-1, "GetProxySettingsFromSqlite");
}

ConfigMgr::~ConfigMgr() { delete accounts_; }

int ConfigMgr::LoadAccounts() {
  koMutexGuard change(changeMutex_);
  std::unique_ptr<ConfigList> loaded(new ConfigList());
  int ok = loaded->LoadAccounts();
  koWriteGuard data(dataLock_);
  accounts_->CopyAccountsFrom(*loaded);
  return ok;
}

int ConfigMgr::AddAccount(AccountInfo& record) {
  koMutexGuard change(changeMutex_);
  int count = 0;
  int taken = 0;
  {
    koReadGuard data(dataLock_);
    count = accounts_->GetCount();
    taken = accounts_->FindIndexByEmail(record.email.GetString()) >= 0;
  }
  // Checked before anything is written; the change mutex keeps it true.
  if (count >= ConfigList::kMaxAccounts) {
    KO_LOG(-1, "AddAccount: 64 accounts are configured already");
    return 0;
  }
  if (taken) {
    KO_LOG(-1, "AddAccount: the address is configured already");
    return 0;
  }
  if (!accounts_->AddNewAccount(record)) return 0;
  koWriteGuard data(dataLock_);
  if (!accounts_->AddAccount(record)) {
    KO_LOG(-1, "InternalAddNewAccount");
    return 0;
  }
  return 1;
}

int ConfigMgr::UpdateModuleOnTimePeriodChanges(AccountInfo& changed, const AccountInfo& old) {
  koMutexGuard change(changeMutex_);
  AccountInfo current;
  {
    koReadGuard data(dataLock_);
    int i = accounts_->FindIndexByEmail(old.email.GetString());
    if (i < 0 || !accounts_->GetAccountAt(i, current)) {
      KO_LOG(-1, "UpdateModuleOnTimePeriodChanges: the address is not configured");
      return 0;
    }
    int other = accounts_->FindIndexByEmail(changed.email.GetString());
    if (other >= 0 && other != i) {
      KO_LOG(-1, "UpdateModuleOnTimePeriodChanges: the new address is configured already");
      return 0;
    }
  }
  SavedFileList files;
  if (!accounts_->UpdateModuleOnTimePeriodChanges(changed, current, files)) return 0;
  {
    koWriteGuard data(dataLock_);
    accounts_->ReplaceAccountAt(accounts_->FindIndexByEmail(current.email.GetString()), changed);
  }
  // Only now that the rows are gone for good.
  accounts_->DeleteSavedFiles(files);
  return 1;
}

int ConfigMgr::DeleteMails(koSQLite* db, int mailId, SavedFileList& files) {
  if (db == nullptr || mailId <= 0) {
    KO_LOG(-1, "DeleteMails: no mail");
    return 0;
  }
  return accounts_->InternalUpdateTableChangeOnMailCollectionTime(db, mailId, 0, 0, files);
}

void ConfigMgr::DeleteSavedFiles(const SavedFileList& files) { accounts_->DeleteSavedFiles(files); }

int ConfigMgr::DeleteAccount(const char* email) {
  koMutexGuard change(changeMutex_);
  koString stored;
  {
    koReadGuard data(dataLock_);
    AccountInfo account;
    if (!accounts_->GetAccountByEmail(email, account)) {
      KO_LOG(-1, "DeleteAccount: the address is not configured");
      return 0;
    }
    stored.SetAs(account.email);
  }
  int id = 0;
  if (!accounts_->DeleteAccount(stored.GetString(), &id)) return 0;
  koWriteGuard data(dataLock_);
  accounts_->RemoveAccountAt(accounts_->FindIndexByEmail(stored.GetString()));
  return 1;
}

int ConfigMgr::GetAccountCount() {
  koReadGuard data(dataLock_);
  return accounts_->GetCount();
}

int ConfigMgr::GetAccountAt(int i, AccountInfo& out) {
  koReadGuard data(dataLock_);
  return accounts_->GetAccountAt(i, out);
}

int ConfigMgr::GetAccountById(int id, AccountInfo& out) {
  koReadGuard data(dataLock_);
  return accounts_->GetAccountById(id, out);
}

int ConfigMgr::GetAccountByEmail(const char* email, AccountInfo& out) {
  koReadGuard data(dataLock_);
  return accounts_->GetAccountByEmail(email, out);
}

int ConfigMgr::FindAccountIndexByEmail(const char* email) {
  koReadGuard data(dataLock_);
  return accounts_->FindIndexByEmail(email);
}

int ConfigMgr::FindAccountIndexById(int id) {
  koReadGuard data(dataLock_);
  return accounts_->FindIndexById(id);
}

int ConfigMgr::CopyAccount(AccountInfo& out, const AccountInfo& in) {
  koReadGuard data(dataLock_);
  out.Assign(in);
  return 1;
}

int ConfigMgr::SetThreadIdByEmail(uint32_t threadId, const char* email) {
  koWriteGuard data(dataLock_);
  return accounts_->SetThreadIdByEmail(threadId, email);
}

int ConfigMgr::SetModuleIndexingStatus(int id, int status, int module) {
  koWriteGuard data(dataLock_);
  return accounts_->SetModuleIndexingStatus(id, status, module);
}

int ConfigMgr::SetModuleProgress(int id, int total, int processed, int module) {
  koWriteGuard data(dataLock_);
  return accounts_->SetModuleProgress(id, total, processed, module);
}

int ConfigMgr::SetSpecialFolderByThread(uint32_t threadId, const char* name, int type) {
  koWriteGuard data(dataLock_);
  return accounts_->SetSpecialFolderByThread(threadId, name, type);
}

int ConfigMgr::SetMailUpdatedTime(int id, int64_t when) {
  koWriteGuard data(dataLock_);
  return accounts_->SetMailUpdatedTime(id, when);
}

int ConfigMgr::SetContactUpdatedTime(int id, int64_t when) {
  koWriteGuard data(dataLock_);
  return accounts_->SetContactUpdatedTime(id, when);
}

int64_t ConfigMgr::GetEarliestUpdatedTime(int id) {
  koReadGuard data(dataLock_);
  return accounts_->GetEarliestUpdatedTime(id);
}

int ConfigMgr::SetContactAuthToken(int id, const char* token) {
  koWriteGuard data(dataLock_);
  return accounts_->SetContactAuthToken(id, token);
}

int ConfigMgr::SetStatusByEmail(const char* email, const char* text) {
  koWriteGuard data(dataLock_);
  int i = accounts_->FindIndexByEmail(email);
  if (i >= 0) return accounts_->SetStatusAt(i, text, 1);
  CopyText(generalMessage_, text);
  return 0;
}

int ConfigMgr::SetStatusByThread(uint32_t threadId, const char* text, int force) {
  koWriteGuard data(dataLock_);
  int i = accounts_->FindIndexByThreadId(threadId);
  if (i >= 0) return accounts_->SetStatusAt(i, text, force);
  if (ConfigList::MayReplaceStatus(generalMessage_, force)) CopyText(generalMessage_, text);
  return 0;
}

int ConfigMgr::SetContactStatusByEmail(const char* email, const char* text) {
  koWriteGuard data(dataLock_);
  return accounts_->SetContactStatusAt(accounts_->FindIndexByEmail(email), text);
}

int ConfigMgr::ResetStatusToConnecting(int id) {
  koWriteGuard data(dataLock_);
  return accounts_->ResetStatusToConnecting(id);
}

void ConfigMgr::ClearAllStatuses() {
  koWriteGuard data(dataLock_);
  accounts_->ClearAllStatuses();
}

int ConfigMgr::GetStatusById(int id, koString& out) {
  koReadGuard data(dataLock_);
  return accounts_->GetStatusById(id, out);
}

void ConfigMgr::GetGeneralMessage(koString& out) {
  koReadGuard data(dataLock_);
  out.SetAs(generalMessage_);
}

void ConfigMgr::ClearGeneralMessage() {
  koWriteGuard data(dataLock_);
  generalMessage_.Clear();
}

void ConfigMgr::SetServiceProblem(const char* text) {
  koWriteGuard data(dataLock_);
  CopyText(serviceProblem_, text);
}

void ConfigMgr::GetServiceProblem(koString& out) {
  koReadGuard data(dataLock_);
  out.SetAs(serviceProblem_);
}

void ConfigMgr::GetPreferences(Preferences& out) {
  koReadGuard data(dataLock_);
  out.Assign(preferences_);
}

void ConfigMgr::GetProxySettings(ProxySettings& out) {
  koReadGuard data(dataLock_);
  out.Assign(proxy_);
}

void ConfigMgr::SetPreferences(const Preferences& record) {
  koWriteGuard data(dataLock_);
  preferences_.Assign(record);
}

void ConfigMgr::SetProxySettings(const ProxySettings& record) {
  koWriteGuard data(dataLock_);
  proxy_.Assign(record);
}

int ConfigMgr::UpdatePreference(const Preferences& record, const char* name, const char* value) {
  // The change mutex keeps the cache in the order the rows were written.
  koMutexGuard change(changeMutex_);
  if (!accounts_->UpdatePreference(name, value)) return 0;
  koWriteGuard data(dataLock_);
  preferences_.Assign(record);
  return 1;
}

void ConfigMgr::GetSystemUuid(koString& out) {
  koReadGuard data(dataLock_);
  out.SetAs(systemUuid_);
}

void ConfigMgr::SetUpgradeUrl(const char* url) {
  koWriteGuard data(dataLock_);
  CopyText(upgradeUrl_, url);
}

void ConfigMgr::GetUpgradeUrl(koString& out) {
  koReadGuard data(dataLock_);
  out.SetAs(upgradeUrl_);
}

void ConfigMgr::SetBrowserName(const char* name) {
  koWriteGuard data(dataLock_);
  CopyText(browserName_, name);
}

void ConfigMgr::GetBrowserName(koString& out) {
  koReadGuard data(dataLock_);
  out.SetAs(browserName_);
}

int ConfigMgr::NextRequestCount(int* value) {
  koWriteGuard data(dataLock_);
  ++requestCount_;
  if (requestCount_ == 120) requestCount_ = 10;
  *value = requestCount_;
  return 1;
}

koRWLock* ConfigMgr::GetAccountsLock() {
  { koReadGuard data(dataLock_); }
  return &accountsLock_;
}

// ---- Ini files and port.

int ConfigMgr::OpenIniInConfigDir(koString& path) {
  if (IniPathIn(PathMgr::GetConfigDir, path)) return 1;
  KO_LOG(-1, "OpenIniInConfigDir");
  return 0;
}

int ConfigMgr::OpenIniInLowIntegrityDir(koString& path) {
  return IniPathIn(PathMgr::GetLowIntegrityDataDir, path);
}

int ConfigMgr::LoadSystemUuid() {
  // One UUID per data directory, even when two threads get here at once.
  koMutexGuard ini(iniMutex_);
  koString path;
  if (!OpenIniInConfigDir(path)) return 0;
  koString uuid;
  IniReadString(kSection, "System_UUID", "", uuid, path.GetString());
  int ok = 1;
  if (uuid.GetLength() == 0) {
    if (!koCreateUuidText(uuid)) {
      KO_LOG(-1, "UuidCreate");
      return 0;
    }
    if (!IniWriteString(kSection, "System_UUID", uuid.GetString(), path.GetString())) {
      KO_LOG(-1, "System_UUID");
      ok = 0;
    }
  }
  koWriteGuard data(dataLock_);
  systemUuid_.SetAs(uuid);
  return ok;
}

int ConfigMgr::CheckAppVersion(int& changed) {
  changed = 0;
  koMutexGuard ini(iniMutex_);
  koString path;
  if (!OpenIniInConfigDir(path)) return 0;
  koString stored;
  IniReadString(kSection, "App_Version", "", stored, path.GetString());
  int ok = 1;
  if (!stored.EqualsNoCase(kAppVersion)) {
    changed = 1;
    ok = IniWriteString(kSection, "App_Version", kAppVersion, path.GetString());
  }
  koString low;
  if (OpenIniInLowIntegrityDir(low)) {
    const char* value = changed ? kAppVersion : stored.GetString();
    if (!IniWriteString(kSection, "App_Version", value, low.GetString())) ok = 0;
  }
  return ok;
}

int ConfigMgr::GetPort() {
  koString path;
  if (!OpenIniInConfigDir(path)) return 0;
  koString low;
  OpenIniInLowIntegrityDir(low);
  int port = IniReadPort(kSection, "Port", kDefaultPort, path.GetString());
  if (low.GetLength() > 0) {
    koString text;
    text.Format("%d", port);
    IniWriteString(kSection, "Port", text.GetString(), low.GetString());
  }
  return port;
}

int ConfigMgr::SetPort(uint16_t port) {
  koString path;
  koString low;
  int ok = OpenIniInConfigDir(path);
  OpenIniInLowIntegrityDir(low);
  WriteExtensionPort(port);
  koString text;
  text.Format("%d", static_cast<int>(port));
  if (ok) ok = IniWriteString(kSection, "Port", text.GetString(), path.GetString());
  if (low.GetLength() > 0 && !IniWriteString(kSection, "Port", text.GetString(), low.GetString()))
    ok = 0;
  return ok;
}

int ConfigMgr::GetPasscode(koString& out) {
  koString path;
  if (!OpenIniInConfigDir(path)) return 0;
  koString stored;
  IniReadString(kSection, "Passcode", "", stored, path.GetString());
  if (stored.GetLength() == 0) {
    out.Clear();
    return 1;
  }
  if (!PasswordMgr::Decode(stored, out)) {
    KO_LOG(-1, "PasswordMgr::Decode");
    return 0;
  }
  return 1;
}

int ConfigMgr::SetPasscode(const char* text) {
  koString path;
  if (!OpenIniInConfigDir(path)) return 0;
  koString clear;
  CopyText(clear, text);
  koString encoded;
  if (!PasswordMgr::Encode(clear, encoded)) {
    KO_LOG(-1, "PasswordMgr::Encode");
    return 0;
  }
  // The codec breaks its lines with CR LF, which an ini value cannot hold;
  // the decoder takes the text on one line.
  koString line;
  for (uint32_t i = 0; i < encoded.GetLength(); ++i) {
    char c = encoded.GetString()[i];
    if (c != '\r' && c != '\n') line.Append(&c, 1);
  }
  return IniWriteString(kSection, "Passcode", line.GetString(), path.GetString());
}

// The web-mail provider's public hosts serve when the ini names none.
constexpr char kDefaultImapHost[] = "imap.gmail.com";
constexpr char kDefaultContactsHost[] = "www.google.com";

void ConfigMgr::GetImapHost(koString& out) { ReadMainIni("Imap_Host", kDefaultImapHost, out); }

int ConfigMgr::GetImapPort() {
  koString text;
  ReadMainIni("Imap_Port", "", text);
  int port = text.ToInt();
  return port > 0 && port <= 65535 ? port : kDefaultImapPort;
}

void ConfigMgr::GetContactsLoginHost(koString& out) { ReadMainIni("Contacts_Login_Host", kDefaultContactsHost, out); }

void ConfigMgr::GetContactsFeedHost(koString& out) { ReadMainIni("Contacts_Feed_Host", kDefaultContactsHost, out); }

void ConfigMgr::GetUpgradeHost(koString& out) { ReadMainIni("Upgrade_Host", "", out); }

void ConfigMgr::WriteExtensionPort(uint16_t port) {
  for (int browser = 0; browser < kChromeBrowserCount; ++browser) {
    koString path;
    if (koChromeUserDataFolder(browser, path)) WriteExtensionPortInto(path, port);
  }
}

void ConfigMgr::WriteExtensionPortInto(koString& path, uint16_t port) {
  path.AppendFormat("/%s", kBrowserProfile);
  // No default profile: the browser (or its extension) is not there.
  struct stat st;
  if (stat(path.GetString(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  path += "/Local Storage";
  int err = 0;
  if (!koMakeFolders(path.GetString(), 0755, &err)) {
    KO_LOG(err, "CreateDirectory");
    return;
  }
  path.AppendFormat("/%s", kLocalStorageFile);
  koSQLite db(gLog);
  if (!db.Open(path, 0)) {
    KO_LOG(-1, "failed to create sqlite db");
    return;
  }
  // A failed CREATE is logged; the table may be there all the same.
  ConfigList::ExecuteStatement(&db,
                               "CREATE TABLE IF NOT EXISTS [ItemTable] (key TEXT UNIQUE ON "
                               "CONFLICT REPLACE, value TEXT NOT NULL ON CONFLICT FAIL )");
  koStatement insert(&db, "INSERT INTO ItemTable ( key, value) VALUES (?,?)");
  insert.Text("pv_port").Int(port).Step();
}

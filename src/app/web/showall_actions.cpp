// ShowAll's commands: an extracted attachment handed to the desktop, the
// forced re-synchronisations of one account, the wake and restart of the
// background services, and the version.
#include <sys/stat.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/store/configmgr.h"
#include "app/store/contact.h"
#include "app/sync/contactservice.h"
#include "app/sync/gdataclient.h"
#include "app/sync/historymgr.h"
#include "app/sync/mailmgr.h"
#include "app/web/mainwindow.h"
#include "app/web/showall.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

namespace {

struct DesktopAction {
  const char* name;  // `_action`, compared ignoring case
  uint32_t message;
};
const DesktopAction kDesktopActions[] = {
    {"Open", kMsgOpenFile},
    {"Locate", kMsgLocateFile},
    {"CopyPath", kMsgCopyPath},
    {"OpenWith", kMsgOpenWith},
};

const char kFilePath[] = "SELECT [file].[file_path] AS attachmentfilepath FROM [file] WHERE [id] = ?";

void LogWithText(const char* format, const char* text) {
  koString message;
  message.Format(format, text);
  KO_LOG(-1, message.GetString());
}

// full (OUT) = root/relative when that is a file or folder reached from root
// without a symbolic link at any level: extraction never makes one, so a
// link there was put by someone else and may lead anywhere. Logs why not.
int ResolveStoredFile(const koString& root, const koString& relative, koString& full) {
  if (root.GetLength() == 0 || !PathMgr::IsSafeRelative(relative)) {
    LogWithText("OpenAttachment: refused stored path \"%s\"", relative.GetString());
    return 0;
  }
  full.SetAs(root);
  const char* rest = relative.GetString();
  struct stat status = {};
  while (*rest != '\0') {
    const char* slash = strchr(rest, '/');
    size_t length = slash != nullptr ? static_cast<size_t>(slash - rest) : strlen(rest);
    koString level;
    level.SetAs(rest, static_cast<int>(length));
    PathMgr::Join(full, level.GetString());
    if (lstat(full.GetString(), &status) != 0) {
      LogWithText("OpenAttachment: no file at \"%s\"", full.GetString());
      return 0;
    }
    if (S_ISLNK(status.st_mode)) {
      LogWithText("OpenAttachment: refused link \"%s\"", full.GetString());
      return 0;
    }
    rest += length;
    if (*rest == '/') ++rest;
  }
  if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) {
    LogWithText("OpenAttachment: refused special file \"%s\"", full.GetString());
    return 0;
  }
  return 1;
}

// The account's cached token, else a new sign-in (a failure is logged).
int SignIn(const AccountInfo& account, GDataClient& client) {
  if (account.contactAuthToken.GetLength() > 0) {
    client.SetAuthToken(account.contactAuthToken.GetString());
    return 1;
  }
  if (client.Login()) return 1;
  koString error;
  client.GetLastError(error);
  KO_LOG(-1, error.GetString());
  return 0;
}

// The account's threads through the service manager; 0 after a logged
// failure.
int StopAccountThreads(const AccountInfo& account) {
  if (gHistoryMgr != nullptr && gHistoryMgr->RemoveAccountServices(account.email.GetString())) return 1;
  KO_LOG(-1, "Stop");
  return 0;
}

int StartAccountThreads(const AccountInfo& account) {
  if (gHistoryMgr != nullptr && gHistoryMgr->StartAccountServices(account)) return 1;
  KO_LOG(-1, "Stop");
  return 0;
}

// A contacts read that fails, or answers with something other than a feed,
// signs in again and reads once more. 1 with the whole feed in the client.
int FetchWholeFeed(GDataClient& client) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int isFeed = 0;
    if (attempt > 0 && !client.Login()) break;
    if (client.FetchContacts(nullptr, &isFeed) && isFeed) return 1;
  }
  koString error;
  client.GetLastError(error);
  KO_LOG(-1, error.GetString());
  return 0;
}

}  // namespace

int ShowAll::OpenAttachment(const koString& action) {
  SetContentKind(kContentPlain);
  const int fileId = connection_->GetParameter("fileid")->ToInt();
  uint32_t message = 0;
  for (const DesktopAction& row : kDesktopActions)
    if (action.EqualsNoCase(row.name)) message = row.message;
  koSQLite db(gLog);
  if (!OpenSummary(db)) return 0;
  koString relative;
  int found = 0;
  {
    koStatement statement(&db, kFilePath);
    if (!statement.Int(fileId).Step()) return 0;
    if (statement.HasRow()) {
      const char* text = db.GetText(statement.Handle(), "attachmentfilepath");
      relative.SetAs(text != nullptr ? text : "");
      found = 1;
    }
  }
  if (!found) {
    // The folder itself is not what the page asked for.
    koString text;
    text.Format("OpenAttachment: no file with id %d", fileId);
    KO_LOG(-1, text.GetString());
    return 0;
  }
  koString* path = new koString();
  if (!ResolveStoredFile(attachmentsDir_, relative, *path)) {
    delete path;
    return 0;
  }
  if (!PostPathToMainWindow(message, path)) {
    KO_LOG(-1, "PostMessage");
    return 0;
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Forced re-synchronisations

int ShowAll::SyncDeletedMails(const koString& /*action*/) {
  return AnswerForAccount(&ShowAll::DeleteVanishedMails);
}

int ShowAll::ForceSyncContacts(const koString& /*action*/) {
  return AnswerForAccount(&ShowAll::FetchAllContacts);
}

int ShowAll::AnswerForAccount(AccountOperation run) {
  const int accountId = connection_->GetParameter("accountid")->ToInt();
  int result = 0;
  {
    koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
    AccountInfo account;
    koSQLite db(gLog);
    if (accountId <= 0 || !gConfigMgr->GetAccountById(accountId, account)) {
      KO_LOG(-1, "Invalid Account id");
    } else if (!SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) {
      KO_LOG(-1, "OpenAndInitialize");
    } else {
      result = run(account, db);
    }
  }
  response_ += result ? "1" : "0";
  return result;
}

int ShowAll::DeleteVanishedMails(const AccountInfo& account, koSQLite& db) {
  if (account.allMailFolder.GetLength() == 0) {
    KO_LOG(-1, "Mailbox name is not yet retrieved");
    return 0;
  }
  MailMgr mail(account, kModuleAllMail, &db);
  if (!mail.OpenMailbox(account.allMailFolder.GetString())) {
    KO_LOG(-1, "OpenMailbox");
    return 0;
  }
  // A failed stop leaves whatever still runs running.
  if (!StopAccountThreads(account)) return 0;
  int result = 1;
  if (!mail.SyncDeletedMailsToLocalRepository()) {
    KO_LOG(-1, "SyncDeletedMailsToLocalRepository");
    result = 0;
  }
  if (!StartAccountThreads(account)) result = 0;
  return result;
}

int ShowAll::FetchAllContacts(const AccountInfo& account, koSQLite& db) {
  int result = 0;
  {
    ContactService service(account, &db);
    GDataClient* client = service.Initialize() ? service.GetContactsClient() : nullptr;
    if (client == nullptr) {
      KO_LOG(-1, "Initialize");
      return 0;
    }
    if (!SignIn(account, *client) || !StopAccountThreads(account)) return 0;
    if (FetchWholeFeed(*client)) {
      koString token;
      client->GetAuthToken(token);
      if (!token.EqualsNoCase(account.contactAuthToken.GetString()) &&
          !gConfigMgr->SetContactAuthToken(account.id, token.GetString())) {
        KO_LOG(-1, "SetContactLoginAuthToken");
      } else {
        result = SyncGoogleContactsToLocalRepository(db, service, account.id);
        if (!result) KO_LOG(-1, "SyncGoogleContactsToLocalRepository");
      }
    }
  }
  // The service and its clients are gone before the threads come back.
  if (!StartAccountThreads(account)) result = 0;
  return result;
}

int ShowAll::SyncGoogleContactsToLocalRepository(koSQLite& db, ContactService& service, int accountId) {
  GDataClient* client = service.GetContactsClient();
  // Entry ids exactly as the service writes them: one id that merely contains
  // another must not keep that other contact.
  std::set<std::string> inFeed;
  Contact entry;
  for (int i = 0; i < client->GetEntryCount(); ++i) {
    koString id;
    if (!client->GetEntry(i, entry) || !entry.GetId(id)) {
      KO_LOG(-1, "Failed to get Contact");
      return 0;
    }
    inFeed.insert(id.GetString());
  }
  // Read whole before anything changes: removing contacts while the
  // statement walks their table could skip or repeat rows.
  std::vector<koString> gone;
  {
    koString sql;
    sql.Format("SELECT uid FROM contact WHERE account_id = %d AND type = 1", accountId);
    koStatement statement(&db, sql.GetString());
    for (;;) {
      if (!statement.Step()) return 0;
      if (!statement.HasRow()) break;
      const char* uid = db.GetText(statement.Handle(), "uid");
      if (uid != nullptr && inFeed.count(uid) == 0) gone.push_back(koString(uid));
    }
  }
  int complete = client->IsFeedComplete();
  if (!complete) {
    // What lies past the cut may well still be at the service.
    KO_LOG(-1, "Contacts feed cut short: no contact removed");
  } else {
    for (const koString& uid : gone) {
      if (!service.ProcessDeletedContact(uid)) {
        KO_LOG(-1, "MarkDeletedContactAsNonGoogleContact");
        return 0;
      }
    }
  }
  if (!service.StoreContacts(nullptr)) {
    KO_LOG(-1, "StoreContacts");
    return 0;
  }
  return complete;
}

// ---------------------------------------------------------------------------
// Services and version

int ShowAll::Refresh(const koString& /*action*/) {
  if (gConfigMgr->GetAccountCount() < 1) return 1;
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  const int accountId = preferences.context_type;
  koString email;
  if (accountId != 0) {
    AccountInfo account;
    if (!gConfigMgr->GetAccountById(accountId, account)) return 1;
    email.SetAs(account.email);
  }
  if (connection_->GetParameter("reconnect")->ToInt() == 1) gConfigMgr->ResetStatusToConnecting(accountId);
  if (gHistoryMgr != nullptr) gHistoryMgr->WakeAccount(accountId != 0 ? email.GetString() : nullptr);
  return 1;
}

int ShowAll::Retry(const koString& /*action*/) {
  // As writer, like every other service change: an account added or deleted
  // meanwhile would otherwise find its threads started by this restart.
  koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
  if (gHistoryMgr == nullptr) {
    gConfigMgr->ClearAllStatuses();
    KO_LOG(-1, "Restart");
    return 0;
  }
  int stopped = gHistoryMgr->Stop();
  // Cleared once the old threads are gone: a mail thread cut off by the stop
  // reports that as its error.
  gConfigMgr->ClearAllStatuses();
  if (!stopped) {
    KO_LOG(-1, "Restart");
    return 0;
  }
  gHistoryMgr->Start();
  return 1;
}

int ShowAll::GetVersion(const koString& /*action*/) {
  response_ += kAppVersion;
  return 1;
}

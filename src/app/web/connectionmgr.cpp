#include "app/web/connectionmgr.h"

#include <cstring>

#include "app/store/configmgr.h"
#include "app/store/productinfo.h"
#include "app/sync/gdataclient.h"
#include "app/sync/historymgr.h"
#include "app/sync/mailmgr.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

// "context_type": the account the pages are narrowed to.
const char kFilterPreference[] = "context_type";

void LogWithAddress(const char* format, const koString& address) {
  koString message;
  message.Format(format, address.GetString());
  KO_LOG(-1, message.GetString());
}

}  // namespace

ConnectionMgr::ConnectionMgr(koHttpConnection* connection, int argument)
    : ObjectBase(connection, argument) {}

void ConnectionMgr::RunAction(const koString& action) {
  if (action.EqualsNoCase("Add")) {
    Add();
  } else if (action.EqualsNoCase("Delete")) {
    Delete();
  } else if (action.EqualsNoCase("Edit")) {
    Edit();
  } else if (action.EqualsNoCase("List")) {
    List();
  } else if (action.EqualsNoCase("TestConnection")) {
    TestConnection();
  } else if (action.EqualsNoCase("GetAccountDetails")) {
    GetAccountDetails();
  } else {
    SetRedirect("/index.html");
  }
}

int ConnectionMgr::CompleteAddress(koString& address) {
  const char* text = address.GetString();
  bool bad = address.GetLength() == 0 || address.GetLength() > kMaxAddressLength ||
             strlen(text) != address.GetLength() || strchr(text, '/') != nullptr ||
             strchr(text, '\\') != nullptr || strstr(text, "..") != nullptr;
  for (uint32_t i = 0; !bad && i < address.GetLength(); ++i) {
    bad = static_cast<unsigned char>(text[i]) < 0x20 || text[i] == 0x7F;
  }
  if (bad) {
    koString message;
    message.Format("Refused account address: %.100s", text);
    KO_LOG(-1, message.GetString());
    return 0;
  }
  if (strchr(text, '@') == nullptr) address.AppendFormat("@%s", kProviderMailDomain);
  return 1;
}

void ConnectionMgr::ReadOptions(AccountInfo& account) {
  account.downloadSince = connection_->GetParameter("downloadSince")->ToInt64() / 1000;
  account.downloadAll = connection_->GetParameter("isAllMails")->ToInt();
  account.downloadAttachments = connection_->GetParameter("isDownloadAttachments")->ToInt();
}

int ConnectionMgr::ClearFilterOn(int id) {
  Preferences preferences;
  gConfigMgr->GetPreferences(preferences);
  if (preferences.context_type != id) return 1;
  preferences.context_type = 0;
  if (gConfigMgr->UpdatePreference(preferences, kFilterPreference, "0")) return 1;
  KO_LOG(-1, "UpdatePreference");
  return 0;
}

void ConnectionMgr::Add() {
  AccountInfo account;
  account.email.SetAs(*connection_->GetParameter("email"));
  account.password.SetAs(*connection_->GetParameter("password"));
  ReadOptions(account);
  account.mailStatus.SetAs(kStatusConnecting);
  account.contactStatus.SetAs(kStatusConnecting);
  int added = 0;
  if (CompleteAddress(account.email)) {
    koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
    if (gConfigMgr->FindAccountIndexByEmail(account.email.GetString()) < 0 &&
        gConfigMgr->AddAccount(account)) {
      added = 1;
      if (gHistoryMgr == nullptr || !gHistoryMgr->StartAccountServices(account))
        LogWithAddress("Unable to start mail extraction service for : %s\n", account.email);
    }
  }
  if (added)
    response_.AppendInt(account.id);
  else
    response_.SetAs("0");
}

void ConnectionMgr::Delete() {
  int ok = 0;
  koString email;
  {
    koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
    if (gHistoryMgr == nullptr || !gHistoryMgr->Stop()) {
      KO_LOG(-1, "gHistoryMgr->Stop");
    } else {
      AccountInfo account;
      int id = connection_->GetParameter("accountId")->ToInt();
      if (id <= 0 || !gConfigMgr->GetAccountById(id, account)) {
        KO_LOG(-1, "GetAccountDetails");
      } else {
        email.SetAs(account.email);
        ok = gConfigMgr->DeleteAccount(email.GetString());
        if (!ok) KO_LOG(-1, "DeleteAccount");
        if (!ClearFilterOn(id)) ok = 0;
      }
      gHistoryMgr->Start();
    }
  }
  email.JsonEscape();
  response_.Format(ok ? "'%s' removed successfully" : "Failed to remove '%s'", email.GetString());
}

void ConnectionMgr::Edit() {
  koWriteGuard accounts(*gConfigMgr->GetAccountsLock());
  response_.SetAs("0");
  AccountInfo old;
  int oldId = connection_->GetParameter("oldEmailAccountId")->ToInt();
  if (oldId <= 0 || !gConfigMgr->GetAccountById(oldId, old)) {
    KO_LOG(-1, "GetAccountDetails");
    return;
  }
  AccountInfo changed;
  changed.email.SetAs(*connection_->GetParameter("email"));
  if (!CompleteAddress(changed.email)) return;
  bool newPassword = connection_->GetParameter("editpassword")->ToInt() == 1;
  changed.password.SetAs(newPassword ? *connection_->GetParameter("password") : old.password);
  ReadOptions(changed);
  bool sameAddress = changed.email.EqualsNoCase(old.email.GetString());
  if (!sameAddress && gConfigMgr->FindAccountIndexByEmail(changed.email.GetString()) >= 0) {
    KO_LOG(-1, "Duplicate account details");
    return;
  }
  if (gHistoryMgr == nullptr || !gHistoryMgr->Stop()) {
    KO_LOG(-1, "gHistoryMgr->Stop");
    if (gHistoryMgr != nullptr) gHistoryMgr->Start();
    return;
  }
  int id = 0;
  changed.mailStatus.SetAs(kStatusConnecting);
  changed.contactStatus.SetAs(kStatusConnecting);
  if (sameAddress) {
    // The account keeps its id, its modules' progress and its update times.
    changed.id = old.id;
    changed.mailIndexingStatus = old.mailIndexingStatus;
    changed.mailTotal = old.mailTotal;
    changed.mailProcessed = old.mailProcessed;
    changed.attachmentIndexingStatus = old.attachmentIndexingStatus;
    changed.attachmentTotal = old.attachmentTotal;
    changed.attachmentProcessed = old.attachmentProcessed;
    changed.contactUpdatedTime = old.contactUpdatedTime;
    changed.mailUpdatedTime = old.mailUpdatedTime;
    if (gConfigMgr->UpdateModuleOnTimePeriodChanges(changed, old))
      id = changed.id;
    else
      KO_LOG(-1, "EditAccount");
  } else if (gConfigMgr->AddAccount(changed)) {
    // The new account first: a change that fails half way never loses the old one.
    if (gConfigMgr->DeleteAccount(old.email.GetString())) {
      id = changed.id;
      if (!ClearFilterOn(old.id)) KO_LOG(-1, "UpdatePreference");
    } else {
      KO_LOG(-1, "DeleteAccount");
      // The old account stays, alone.
      if (!gConfigMgr->DeleteAccount(changed.email.GetString()))
        LogWithAddress("EditAccount: the new account %s stays beside the old one", changed.email);
    }
  } else {
    KO_LOG(-1, "AddAccount");
  }
  gHistoryMgr->Start();
  if (id > 0) response_.Format("%d", id);
}

void ConnectionMgr::List() {
  koString list;
  if (GetAccountsJson(list, 0, 0)) response_.SetAs(list);
}

void ConnectionMgr::GetAccountDetails() {
  int id = connection_->GetParameter("id")->ToInt();
  int index = id > 0 ? gConfigMgr->FindAccountIndexById(id) : -1;
  if (index < 0) return;
  response_ += "(";
  if (!AppendAccountJsonByIndex(index, response_, 0)) {
    response_.Clear();
    return;
  }
  response_ += ")";
}

void ConnectionMgr::TestConnection() {
  AccountInfo account;
  account.email.SetAs(*connection_->GetParameter("email"));
  account.password.SetAs(*connection_->GetParameter("password"));
  int status = 0;
  koString message;
  bool editing = connection_->GetParameter("editaccount")->ToInt() == 1 &&
                 connection_->GetParameter("editpassword")->ToInt() != 1;
  AccountInfo stored;
  if (!CompleteAddress(account.email)) {
    message.SetAs("Invalid e-mail address");
  } else if (editing && !gConfigMgr->GetAccountById(connection_->GetParameter("accountid")->ToInt(), stored)) {
    message.SetAs("Failed to retrieve account details");
  } else {
    if (editing) account.password.SetAs(stored.password);
    // An earlier failure's text must not answer for this test.
    gConfigMgr->ClearGeneralMessage();
    koSQLite db(gLog);
    SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase);
    MailMgr mail(account, kModuleAllMail, &db);
    if (!mail.OpenMailbox("")) {
      gConfigMgr->GetGeneralMessage(message);
    } else {
      GDataClient contacts(account.email.GetString(), account.password.GetString());
      if (contacts.Login()) {
        status = 1;
        message.SetAs("connected successfully");
      } else {
        status = -1;
        contacts.GetLastError(message);
      }
    }
    gConfigMgr->ClearGeneralMessage();
  }
  message.JsonEscape();
  response_.Format("{\"TestStatus\":%d,\"TestStatusMsg\":\"%s\"}", status, message.GetString());
}

#include "app/web/prefmgr.h"

#include <cstring>

#include "app/store/configmgr.h"
#include "app/web/settingrows.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/sqlitemgr.h"

namespace {

const char kWriteRow[] = "INSERT OR REPLACE INTO [preferences] ([name], [value]) VALUES (?, ?)";

// The display rows of SavePreferences, in the order they are written, with
// the request parameter that carries each and the cached field it sets.
struct DisplayRow {
  const char* name;
  const char* parameter;
  int Preferences::*field;
};
const DisplayRow kDisplayRows[] = {
    {"show_inline_images", "showInlineImages", &Preferences::show_inline_images},
    {"show_recv_attachments", "showReceivedAttachments", &Preferences::show_recv_attachments},
    {"show_sender_emails", "showSenderEmails", &Preferences::show_sender_emails},
    {"files_perpage", "filesPerPage", &Preferences::files_perpage},
    {"contacts_perpage", "contactsPerPage", &Preferences::contacts_perpage},
    {"context_type", "filterAccountId", &Preferences::context_type},
};

// The side bar's rows of SetBrowserExtPreferences, by the request's `type`.
struct SideBarRow {
  const char* type;
  const char* name;
  koString Preferences::*field;
};
const SideBarRow kSideBarRows[] = {
    {"activetab", "sidebar_activetab", &Preferences::sidebar_activetab},
    {"activegroup", "active_group", &Preferences::active_group},
    {"activecontacttype", "active_contacttype", &Preferences::active_contacttype},
};

}  // namespace

PrefMgr::PrefMgr(koHttpConnection* connection, int argument) : ObjectBase(connection, argument) {}

void PrefMgr::RunAction(const koString& action) {
  if (action.EqualsNoCase("GetPreferences")) {
    GetPreferences();
  } else if (action.EqualsNoCase("SavePreferences")) {
    SavePreferences();
  } else if (action.EqualsNoCase("SetBrowserExtPreferences")) {
    SetBrowserExtPreferences();
  } else if (action.EqualsNoCase("ChangeSidebarPassword")) {
    ChangeSidebarPassword();
  } else if (action.EqualsNoCase("SideBarLockStatus")) {
    SideBarLockStatus();
  } else if (action.EqualsNoCase("ValidatePassword")) {
    ValidatePassword();
  } else {
    SetRedirect("/index.html");
  }
}

int PrefMgr::OpenDatabase(koSQLite& db) {
  if (SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase)) return 1;
  KO_LOG(-1, SQLiteMgr::kSummaryDatabase);
  return 0;
}

int PrefMgr::WriteRow(koStatement& statement, const char* name, const koString& value) {
  return statement.Reset().Text(name).Text(value).Step() ? 1 : 0;
}

void PrefMgr::GetPreferences() {
  Preferences p;
  gConfigMgr->GetPreferences(p);
  response_.AppendFormat("({\"showInlineImages\":%d, ", p.show_inline_images);
  response_.AppendFormat("\"showReceivedAttachments\":%d, ", p.show_recv_attachments);
  response_.AppendFormat("\"contactsPerPage\":%d, ", p.contacts_perpage);
  response_.AppendFormat("\"filesPerPage\":%d, ", p.files_perpage);
  response_.AppendFormat("\"showSenderEmails\":%d, ", p.show_sender_emails);
  AppendJsonText(response_, "\"sidebarActiveTab\":\"%s\",", p.sidebar_activetab.GetString());
  response_.AppendFormat("\"sidebarLock\":%d, ", p.sidebar_lock);
  AppendJsonText(response_, "\"activeGroup\":\"%s\", ", p.active_group.GetString());
  AppendJsonText(response_, "\"activeContactType\":\"%s\", ", p.active_contacttype.GetString());
  response_ += "\"accountlist\":[";
  int count = gConfigMgr->GetAccountCount();
  bool first = true;
  for (int i = 0; i < count; ++i) {
    AccountInfo account;
    // An account removed meanwhile is left out.
    if (!gConfigMgr->GetAccountAt(i, account)) continue;
    if (!first) response_ += ",";
    first = false;
    AppendJsonText(response_, "{\"accountName\":\"%s\",", account.email.GetString());
    response_.AppendFormat("\"accountId\":%d }", account.id);
  }
  response_.AppendFormat("],\"filterAccountId\":%d})", p.context_type);
}

void PrefMgr::SavePreferences() {
  koSQLite db(gLog);
  if (!OpenDatabase(db)) {
    response_.SetAs("0");
    return;
  }
  if (!WriteSettingRows(db, kWriteRow, kDisplayRows, connection_)) {
    response_.SetAs("0");
    return;
  }
  Preferences p;
  gConfigMgr->GetPreferences(p);
  for (const DisplayRow& row : kDisplayRows) p.*row.field = connection_->GetParameter(row.parameter)->ToInt();
  gConfigMgr->SetPreferences(p);
  response_.SetAs("1");
}

void PrefMgr::SetBrowserExtPreferences() {
  koSQLite db(gLog);
  if (!OpenDatabase(db)) {
    response_.SetAs("0");
    return;
  }
  const koString* type = connection_->GetParameter("type");
  for (const SideBarRow& row : kSideBarRows) {
    if (!type->EqualsNoCase(row.type)) continue;
    const koString* value = connection_->GetParameter("prefData");
    koStatement statement(&db, kWriteRow);
    if (!WriteRow(statement, row.name, *value)) {
      response_.SetAs("0");
      return;
    }
    Preferences p;
    gConfigMgr->GetPreferences(p);
    (p.*row.field).SetAs(*value);
    gConfigMgr->SetPreferences(p);
    response_.SetAs("1");
    return;
  }
  // Any other type: nothing written, an empty answer.
}

void PrefMgr::SideBarLockStatus() {
  const koString* lock = connection_->GetParameter("sidebarLock");
  koSQLite db(gLog);
  if (!OpenDatabase(db)) {
    response_.SetAs("0");
    return;
  }
  koStatement statement(&db, kWriteRow);
  if (!WriteRow(statement, "sidebar_lock", *lock)) {
    response_.SetAs("0");
    return;
  }
  Preferences p;
  gConfigMgr->GetPreferences(p);
  p.sidebar_lock = lock->ToInt();
  gConfigMgr->SetPreferences(p);
  response_.SetAs("1");
}

void PrefMgr::ValidatePassword() {
  const koString* given = connection_->GetParameter("lockPassword");
  koString stored;
  bool same = gConfigMgr->GetPasscode(stored) && stored.GetLength() == given->GetLength() &&
              memcmp(stored.GetString(), given->GetString(), stored.GetLength()) == 0;
  response_.SetAs(same ? "1" : "0");
}

void PrefMgr::ChangeSidebarPassword() {
  const koString* wanted = connection_->GetParameter("newPassWord");
  const koString* current = connection_->GetParameter("curPassword");
  koString stored;
  if (!gConfigMgr->GetPasscode(stored)) stored.Clear();
  int status = -1;
  if (stored.GetLength() == current->GetLength() &&
      memcmp(stored.GetString(), current->GetString(), stored.GetLength()) == 0) {
    status = gConfigMgr->SetPasscode(wanted->GetString()) ? 1 : -1;
  }
  response_.Format("({\"status\":%d})", status);
}

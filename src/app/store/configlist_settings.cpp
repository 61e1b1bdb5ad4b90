// ConfigList's preference and proxy rows.
#include "app/store/configlist.h"

#include <cstddef>

#include "core/klog.h"
#include "core/ksqlite.h"

namespace {

void CopyText(koString& field, const char* text) { field.SetAs(text != nullptr ? text : ""); }

// The fields of a record kept as rows of a [name], [value] table.
struct IntField {
  const char* name;
  int* field;
};
struct TextField {
  const char* name;
  koString* field;
};

// Puts the value of each row of `sql` (columns name and value) into the
// field of that name, any letter case; rows that name no field are skipped.
template <size_t kInts, size_t kTexts>
int ReadNameValueRows(koSQLite* db, const char* sql, const IntField (&ints)[kInts],
                      const TextField (&texts)[kTexts]) {
  koStatement rows(db, sql);
  koString name;
  koString value;
  while (rows.Step() && rows.HasRow()) {
    CopyText(name, db->GetText(rows.Handle(), "name"));
    CopyText(value, db->GetText(rows.Handle(), "value"));
    for (const IntField& f : ints)
      if (name.EqualsNoCase(f.name)) *f.field = value.ToInt();
    for (const TextField& f : texts)
      if (name.EqualsNoCase(f.name)) f.field->SetAs(value);
  }
  return rows.Ready() ? 1 : 0;
}

}  // namespace

int ConfigList::LoadPreferences(Preferences& out) {
  out.SetDefaults();
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  if (!db.CheckIfTableExists("preferences")) return 1;
  const IntField ints[] = {{"show_inline_images", &out.show_inline_images},
                           {"show_recv_attachments", &out.show_recv_attachments},
                           {"show_sender_emails", &out.show_sender_emails},
                           {"contacts_perpage", &out.contacts_perpage},
                           {"files_perpage", &out.files_perpage},
                           {"context_type", &out.context_type},
                           {"sidebar_lock", &out.sidebar_lock}};
  const TextField texts[] = {{"sidebar_activetab", &out.sidebar_activetab},
                             {"active_group", &out.active_group},
                             {"active_contacttype", &out.active_contacttype}};
  return ReadNameValueRows(&db, "SELECT [name], [value] FROM [preferences]", ints, texts);
}

int ConfigList::LoadProxySettings(ProxySettings& out) {
  out.SetDefaults();
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  // Missing at the very first start; the caller logs it.
  if (!db.CheckIfTableExists("proxy")) return 0;
  const IntField ints[] = {
      {"proxy_type", &out.type}, {"proxy_port", &out.port}, {"proxy_secure", &out.secure}};
  const TextField texts[] = {{"proxy_host", &out.host},
                             {"proxy_username", &out.user},
                             {"proxy_password", &out.password}};
  return ReadNameValueRows(&db, "SELECT [name], [value] FROM [proxy]", ints, texts);
}

int ConfigList::UpdatePreference(const char* name, const char* value) {
  koSQLite db(gLog);
  if (!OpenSummaryDatabase(&db)) return 0;
  koStatement s(&db, "UPDATE [preferences] SET [value] = ? WHERE [name] = ?");
  return s.Text(value).Text(name).Step() ? 1 : 0;
}

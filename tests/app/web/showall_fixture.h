// Shared set-up of the default handler's tests: a started server over the
// summary database, accounts, mails stored as the indexer keeps them, the
// pages' preferences, and a strict reader of the JSON answers.
#ifndef PV_TESTS_APP_WEB_SHOWALL_FIXTURE_H
#define PV_TESTS_APP_WEB_SHOWALL_FIXTURE_H

#include <json.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "web_fixture.h"
#include "app/store/contactemailmgr.h"
#include "app/store/tagmgr.h"
#include "app/sync/historymgr.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/kcurl.h"
// Last: the mail library's headers define min and max as macros.
#include "app/sync/index_fixture.h"

namespace webtest {

const int64_t kDate = 1236254400;  // Thu, 5 Mar 2009 12:00:00 UTC
const char kAccount[] = "someone@example.com";

// An answer parsed strictly: root is null unless the text is exactly one
// JSON value. Paths are dotted, array elements by number ("rows.0.icon").
struct Json {
  explicit Json(const std::string& text) {
    json_tokener* tokener = json_tokener_new();
    json_tokener_set_flags(tokener, JSON_TOKENER_STRICT);
    root = json_tokener_parse_ex(tokener, text.c_str(), static_cast<int>(text.size()));
    if (json_tokener_get_error(tokener) != json_tokener_success || json_tokener_get_parse_end(tokener) != text.size()) {
      json_object_put(root);
      root = nullptr;
    }
    json_tokener_free(tokener);
  }
  ~Json() { json_object_put(root); }
  json_object* At(const std::string& path) const {
    json_object* at = root;
    for (size_t from = 0; at != nullptr && from < path.size();) {
      size_t dot = path.find('.', from);
      std::string step = path.substr(from, dot - from);
      at = json_object_is_type(at, json_type_array) ? json_object_array_get_idx(at, std::stoi(step))
                                                    : json_object_object_get(at, step.c_str());
      from = dot == std::string::npos ? path.size() : dot + 1;
    }
    return at;
  }
  // The value as text; "<none>" when missing.
  std::string operator[](const std::string& path) const {
    json_object* at = At(path);
    return at != nullptr ? json_object_get_string(at) : "<none>";
  }
  std::vector<std::string> Keys(const std::string& path = "") const {
    std::vector<std::string> keys;
    json_object_object_foreach(At(path), key, value) {
      (void)value;
      keys.push_back(key);
    }
    return keys;
  }
  // The values at prefix + each path, joined by blanks.
  std::string Join(std::initializer_list<std::string> paths, const std::string& prefix = "") const {
    std::string out;
    for (const std::string& path : paths) out += (out.empty() ? "" : " ") + (*this)[prefix + path];
    return out;
  }
  size_t Rows() const { return json_object_array_length(At("result.data.rows")); }
  std::string Row(size_t i, const char* key) const { return (*this)[RowPath(i) + key]; }
  static std::string RowPath(size_t i) { return "result.data.rows." + std::to_string(i) + "."; }
  json_object* root = nullptr;
};

std::string Fixture(const std::string& name) {
  return ReadFile(std::string(getenv("PV_SOURCE_DIR")) + "/tests/app/sync/data/store/" + name);
}

class ShowAllTest : public ServerTest {
 protected:
  static void SetUpTestSuite() {
    koIgnoreSigPipe();
    InitMailLibrary();
    koCurl::GlobalInit();
  }
  void SetUp() override {
    ServerTest::SetUp();
    env_.Set("LANG", "C");
    env_.Set("LC_ALL", "C");
    MakeSummaryDatabase();
  }
  void TearDown() override {
    StopServices();
    HistoryMgr::SetUpgradeCheckFactory(nullptr);
    ServerTest::TearDown();
  }

  int AddAccount(const char* email, int attachments = 1) {
    AccountInfo account;
    account.email.SetAs(email);
    account.password.SetAs("pw");
    account.downloadAll = 1;
    account.downloadAttachments = attachments;
    EXPECT_EQ(1, gConfigMgr->AddAccount(account));
    return account.id;
  }
  // Keeps the message as the indexer does: summary and attachments in one
  // transaction.
  void Store(int accountId, const std::string& text, int uid, int64_t date = kDate) {
    AccountInfo account;
    ASSERT_EQ(1, gConfigMgr->GetAccountById(accountId, account));
    koSQLite db(gLog);
    ASSERT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase));
    MailMessage message;
    message.SetAccountEmail(account.email.GetString());
    message.Parse(text.data(), static_cast<uint32_t>(text.size()), 0);
    MailHeaderDetails record;
    record.uid = uid;
    record.receivedDate = date;
    record.direction = message.GetDirection();
    message.GetSubject(record.subject);
    const ENVELOPE* envelope = message.GetEnvelope();
    record.messageId.SetAs(envelope->message_id != nullptr ? envelope->message_id : "");
    const ADDRESS* other = record.direction == MailMessage::kSent ? envelope->to : envelope->from;
    MailSummary::FormatAddress(other, record.counterpartName, record.counterpartEmail);
    MailSummary summary(&db, account.email.GetString(), accountId);
    ProcessAttachment attachments(&db, account.email.GetString());
    ASSERT_EQ(1, SQLiteMgr::BeginTransaction(&db));
    ASSERT_EQ(1, summary.SaveMailSummary(record, message) && attachments.SaveAttachmentSummary(record, message));
    ASSERT_EQ(1, SQLiteMgr::EndTransaction(&db));
  }
  void SetView(int perPage, int context = 0, int receivedOnly = 1, int showInline = 0) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.files_perpage = perPage;
    preferences.context_type = context;
    preferences.show_recv_attachments = receivedOnly;
    preferences.show_inline_images = showInline;
    gConfigMgr->SetPreferences(preferences);
  }
  std::string Ask(const std::string& query) { return BodyOf(Get("/?_object=ShowAll&" + query)); }
  std::string Sql(const std::string& sql) { return SqliteQuery(SummaryPath(), sql); }

  // A contact as the synchronisation leaves one: its row, its addresses
  // (each with an empty counter row), tags, groups and full-text row.
  struct ContactSeed {
    ContactSeed(std::string name, std::vector<std::string> addresses, int type = 0, int mark = 0,
                std::string notes = "", std::string tags = "", std::vector<std::string> groups = {},
                std::string editUrl = "")
        : name(std::move(name)), addresses(std::move(addresses)), type(type), mark(mark), notes(std::move(notes)),
          tags(std::move(tags)), groups(std::move(groups)), editUrl(std::move(editUrl)) {}
    std::string name;
    std::vector<std::string> addresses;
    int type;
    int mark;
    std::string notes;
    std::string tags;  // names between blanks
    std::vector<std::string> groups;
    std::string editUrl;
  };
  int AddContact(int accountId, const ContactSeed& seed) {
    koSQLite db(gLog);
    EXPECT_EQ(1, SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase));
    ContactEmailMgr contacts(&db);
    ContactDetails details;
    details.name.SetAs(seed.name.c_str());
    details.accountId = accountId;
    details.editUrl.SetAs(seed.editUrl.c_str());
    details.mark = seed.mark;
    details.type = seed.type;
    details.notes.SetAs(seed.notes.c_str());
    int id = 0;
    EXPECT_EQ(1, contacts.InsertContactDetails(details, &id));
    std::string emails;
    for (const std::string& address : seed.addresses) {
      EXPECT_EQ(1, contacts.AddEmailForAnalytics(koString(address.c_str()), accountId, id));
      emails += (emails.empty() ? "" : "\n") + address;
    }
    EXPECT_EQ(1, TagMgr::UpdateContactTags(&db, id, seed.tags.c_str()));
    EXPECT_EQ(1, contacts.InsertFtsContactDetails(details.name, id, koString(emails.c_str()), koString(""),
                                                  koString(seed.tags.c_str()), details.notes, seed.mark,
                                                  seed.type == 1));
    for (const std::string& group : seed.groups) {
      koStatement add(&db, "INSERT OR IGNORE INTO [group] (name, uid, account_id) VALUES (?, ?, ?)");
      EXPECT_TRUE(add.Text(group.c_str()).Text((group + std::to_string(accountId)).c_str()).Int(accountId).Step());
      koStatement link(&db,
                       "INSERT INTO contact_group_link (contact_id, group_id) SELECT ?, id FROM [group] WHERE uid = ?");
      EXPECT_TRUE(link.Int(id).Text((group + std::to_string(accountId)).c_str()).Step());
    }
    return id;
  }
  // A plain mail between the account and `other` ("Name <address>"); the
  // account sent it when `sent`. `thread`: the message id of the first mail
  // of the conversation it belongs to.
  static std::string ContactMail(const std::string& account, const std::string& other, bool sent,
                              const std::string& id, const std::string& subject, const std::string& thread = "") {
    return "From: " + (sent ? account : other) + "\r\nTo: " + (sent ? other : account) + "\r\nSubject: " + subject +
           "\r\nMessage-ID: <" + id + ">\r\n" + (thread.empty() ? "" : "References: <" + thread + ">\r\n") +
           "\r\nText.\r\n";
  }
  void SetContactView(const char* group, const char* type, int perPage = 30, int context = 0, int sentOnly = 0) {
    Preferences preferences;
    gConfigMgr->GetPreferences(preferences);
    preferences.active_group.SetAs(group);
    preferences.active_contacttype.SetAs(type);
    preferences.contacts_perpage = perPage;
    preferences.context_type = context;
    preferences.show_sender_emails = sentOnly;
    gConfigMgr->SetPreferences(preferences);
  }
  void StartServices() {
    history_ = std::make_unique<HistoryMgr>();
    gHistoryMgr = history_.get();
    history_->Start();
  }
  void StopServices() {
    gHistoryMgr = nullptr;
    history_.reset();
  }

  ScopedEnv env_;
  std::unique_ptr<HistoryMgr> history_;
};

}  // namespace webtest

#endif  // PV_TESTS_APP_WEB_SHOWALL_FIXTURE_H

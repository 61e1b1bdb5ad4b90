// A large summary database for the list answers: mails of two accounts (a
// fifth of them sent, one in seven unseen, one in twenty also naming the
// busiest address), extracted files (a fifth inline) written under the
// attachments folder and dated with their mail, and contacts (the first
// addresses with mail, two thirds from the contacts service, in groups and
// the accounts' own), generated with plain SQL from fixed seeds: the same
// sizes give the same rows.
#ifndef PV_TESTS_SUPPORT_LIST_DATA_H
#define PV_TESTS_SUPPORT_LIST_DATA_H

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/kfile.h"

namespace pvtest {

struct ListSizes {
  int mails = 100000;
  int files = 20000;
  int addresses = 3000;  // the ones with mail
  int contacts = 20000;
  int groups = 30;  // per account, besides "My Contacts"
};

inline constexpr int64_t kFirstDate = 1262304000;  // 2010-01-01
inline const char* const kAccounts[] = {"someone@example.com", "other@example.com"};
inline const char* const kWords[] = {"report", "budget",  "photo",  "invoice", "minutes", "draft", "slides",
                              "notes",  "summary", "scan",   "contract", "plan",   "agenda", "letter"};
inline const char* const kFirstNames[] = {"Anna", "Bruno", "Chloe", "Dmitri", "Eve", "Farid", "Grete", "Hiro", "Ines",
                                   "Jamal", "Kasia", "Lars", "Monica", "Nils", "Olga", "Pedro", "Rania", "Soren"};
inline const char* const kLastNames[] = {"Albers", "Barros", "Czerny", "Dahl", "Eriksen", "Fontaine", "Gruber",
                                  "Halvorsen", "Ivanova", "Jager", "Kowalski", "Lindqvist", "Moreau", "Nakamura"};
inline const char* const kTypes[][2] = {{"pdf", "PDF document"},  {"png", "PNG image"},      {"jpg", "JPEG image"},
                                 {"docx", "Word document"}, {"xlsx", "Spreadsheet"}, {"txt", "plain text document"}};

inline bool Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK) return true;
  fprintf(stderr, "list data: %s: %s\n", sql, error ? error : "?");
  sqlite3_free(error);
  return false;
}

inline const char kInsertAddress[] = "INSERT INTO email_address (id, account_id, address) VALUES (?, ?, ?)";

inline bool AddAddress(sqlite3_stmt* insert, int id, int accountId, const std::string& address) {
  sqlite3_bind_int(insert, 1, id);
  sqlite3_bind_int(insert, 2, accountId);
  sqlite3_bind_text(insert, 3, address.c_str(), -1, SQLITE_TRANSIENT);
  bool ok = sqlite3_step(insert) == SQLITE_DONE;
  sqlite3_reset(insert);
  return ok;
}

// The contacts, their addresses, groups, tags and full-text rows, and what
// the indexer keeps beside the mails: conversations, unseen flags and the
// per-address counters.
inline bool GenerateContacts(sqlite3* db, const int ids[2], const ListSizes& size) {
  std::mt19937 random(11);
  bool ok = Exec(db, "BEGIN");
  sqlite3_stmt* address = nullptr;
  sqlite3_stmt* contact = nullptr;
  sqlite3_stmt* link = nullptr;
  sqlite3_stmt* member = nullptr;
  sqlite3_stmt* fts = nullptr;
  sqlite3_prepare_v2(db, kInsertAddress, -1, &address, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO contact (id, name, account_id, uid, edit_url, mark, type, notes) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?, ?)",
                     -1, &contact, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO contact_email_link (contact_id, email_address_id) VALUES (?, ?)", -1, &link,
                     nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO contact_group_link (contact_id, group_id) VALUES (?, ?)", -1, &member, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO fts_contact (rowid, name, email, phone, tag, notes, [is], type) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?, ?)",
                     -1, &fts, nullptr);
  for (int a = 0; ok && a < 2; ++a) {
    for (int g = 0; ok && g <= size.groups; ++g) {
      std::string sql = "INSERT INTO [group] (id, name, uid, account_id) VALUES (" +
                        std::to_string(a * 100 + g + 1) + ", '" +
                        (g == 0 ? std::string("My Contacts") : "Group " + std::to_string(g)) + "', 'g" +
                        std::to_string(a * 100 + g + 1) + "', " + std::to_string(ids[a]) + ")";
      ok = Exec(db, sql.c_str());
    }
  }
  for (int n = 1; ok && n <= size.contacts; ++n) {
    const int account = n % 2;
    const int type = n % 3 == 0 ? 0 : 1;
    const bool starred = n % 10 == 0;
    // The first addresses are the ones with mail.
    std::string email = "person" + std::to_string(n) + "@example.org";
    if (n > size.addresses) ok = AddAddress(address, n, ids[account], email);
    std::string name = std::string(kFirstNames[random() % 18]) + " " + kLastNames[random() % 14] + " " +
                       std::to_string(n);
    std::string uid = "http://contacts.example/base/" + std::to_string(n);
    std::string tag = n % 4 == 0 ? kWords[random() % 14] : "";
    std::string phone = n % 2 == 0 ? "+1 555 " + std::to_string(100000 + n) : "";
    std::string notes = n % 5 == 0 ? "met at the " + std::string(kWords[random() % 14]) : "";
    sqlite3_bind_int(contact, 1, n);
    sqlite3_bind_text(contact, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(contact, 3, ids[account]);
    if (type == 1) {
      sqlite3_bind_text(contact, 4, uid.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(contact, 5, (uid + "/edit").c_str(), -1, SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(contact, 4);
      sqlite3_bind_null(contact, 5);
    }
    sqlite3_bind_int(contact, 6, starred ? 1 : 0);
    sqlite3_bind_int(contact, 7, type);
    sqlite3_bind_text(contact, 8, notes.c_str(), -1, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(contact) == SQLITE_DONE;
    sqlite3_reset(contact);
    sqlite3_bind_int(link, 1, n);
    sqlite3_bind_int(link, 2, n);
    ok = ok && sqlite3_step(link) == SQLITE_DONE;
    sqlite3_reset(link);
    // Service contacts are in their account's own group and one other.
    for (int g : {type == 1 ? 0 : -1, 1 + static_cast<int>(random() % size.groups)}) {
      if (g < 0) continue;
      sqlite3_bind_int(member, 1, n);
      sqlite3_bind_int(member, 2, account * 100 + g + 1);
      ok = ok && sqlite3_step(member) == SQLITE_DONE;
      sqlite3_reset(member);
    }
    sqlite3_bind_int(fts, 1, n);
    sqlite3_bind_text(fts, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 3, email.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 4, phone.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 5, tag.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 6, notes.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 7, starred ? "STARRED" : "", -1, SQLITE_STATIC);
    sqlite3_bind_text(fts, 8, type == 1 ? "GOOGLE" : "", -1, SQLITE_STATIC);
    ok = ok && sqlite3_step(fts) == SQLITE_DONE;
    sqlite3_reset(fts);
  }
  for (sqlite3_stmt* s : {address, contact, link, member, fts}) sqlite3_finalize(s);
  // One mail in twenty also names the busiest address (of the second
  // account, as those mails); one conversation to every eight consecutive
  // mails; one mail in seven unseen; the counters as the store keeps them.
  const char* const kDerived[] = {
      "INSERT INTO mail_email_link (mail_id, email_address_id) SELECT id, 1 FROM mail WHERE id % 5 >= 3 AND id % 8 = 0",
      "INSERT INTO reference_master (mail_id, parent_message_id) SELECT id, '<t' || (id / 8) || '@example.org>' "
      "FROM mail",
      "UPDATE mail SET unseen = 1 WHERE id % 7 = 0",
      "CREATE TEMP TABLE dated AS SELECT l.email_address_id address, m.id mail, m.module_id module, "
      "m.received_date date FROM mail_email_link l JOIN mail m ON m.id = l.mail_id",
      "CREATE INDEX temp.dated_address ON dated (address, module, date)",
      "INSERT INTO analytics_email (email_address_id, total_sent, total_received, recv_first_mail_id, "
      "recv_last_mail_id, sent_first_mail_id, sent_last_mail_id) SELECT a.id, "
      "(SELECT COUNT(*) FROM dated WHERE address = a.id AND module = 2), "
      "(SELECT COUNT(*) FROM dated WHERE address = a.id AND module = 1), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 1 ORDER BY date LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 1 ORDER BY date DESC LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 2 ORDER BY date LIMIT 1), 0), "
      "ifnull((SELECT mail FROM dated WHERE address = a.id AND module = 2 ORDER BY date DESC LIMIT 1), 0) "
      "FROM email_address a",
      "DROP TABLE dated",
  };
  for (const char* sql : kDerived) ok = ok && Exec(db, sql);
  return ok && Exec(db, "COMMIT");
}

// Rows of every table the list and the polls read, with the files they
// name written under the attachments folder and dated with their mail.
inline bool Generate(const std::string& summary, const std::string& attachments, const int ids[2],
                     const ListSizes& size = ListSizes()) {
  sqlite3* db = nullptr;
  if (sqlite3_open(summary.c_str(), &db) != SQLITE_OK) return false;
  std::mt19937 random(7);
  bool ok = Exec(db, "BEGIN");
  sqlite3_stmt* address = nullptr;
  sqlite3_stmt* mail = nullptr;
  sqlite3_stmt* link = nullptr;
  sqlite3_stmt* file = nullptr;
  sqlite3_stmt* fts = nullptr;
  sqlite3_prepare_v2(db, kInsertAddress, -1, &address, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO mail (id, uid, message_id, account_id, module_id, received_date, subject) VALUES "
                     "(?, ?, ?, ?, ?, ?, ?)",
                     -1, &mail, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO mail_email_link (mail_id, email_address_id) VALUES (?, ?)", -1, &link, nullptr);
  sqlite3_prepare_v2(db,
                     "INSERT INTO file (id, mail_id, file_path, file_name, file_type, size, is_folder, is_inline) "
                     "VALUES (?, ?, ?, ?, ?, ?, 0, ?)",
                     -1, &file, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO fts_file (rowid, [from], [to], subject, filename, type) VALUES (?, ?, ?, ?, ?, ?)",
                     -1, &fts, nullptr);
  auto addressOf = [](int n) { return "person" + std::to_string(n) + "@example.org"; };
  for (int n = 1; ok && n <= size.addresses; ++n) ok = AddAddress(address, n, ids[n % 2], addressOf(n));
  std::vector<int64_t> dates(size.mails + 1);
  std::vector<int> senders(size.mails + 1);
  std::vector<std::string> subjects(size.mails + 1);
  for (int n = 1; ok && n <= size.mails; ++n) {
    int account = n % 5 < 3 ? 0 : 1;
    int module = n % 5 == 4 ? 2 : 1;
    dates[n] = kFirstDate + static_cast<int64_t>(n) * 1500 + random() % 1000;
    senders[n] = 1 + static_cast<int>(random() % size.addresses);
    subjects[n] = std::string(kWords[random() % 14]) + " " + kWords[random() % 14] + " " + std::to_string(n);
    std::string messageId = "<m" + std::to_string(n) + "@example.org>";
    sqlite3_bind_int(mail, 1, n);
    sqlite3_bind_int(mail, 2, n);
    sqlite3_bind_text(mail, 3, messageId.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(mail, 4, ids[account]);
    sqlite3_bind_int(mail, 5, module);
    sqlite3_bind_int64(mail, 6, dates[n]);
    sqlite3_bind_text(mail, 7, subjects[n].c_str(), -1, SQLITE_TRANSIENT);
    ok = sqlite3_step(mail) == SQLITE_DONE;
    sqlite3_reset(mail);
    for (int k = 0; ok && k < (module == 2 ? 2 : 1); ++k) {
      sqlite3_bind_int(link, 1, n);
      sqlite3_bind_int(link, 2, 1 + (senders[n] + k * 17) % size.addresses);
      ok = sqlite3_step(link) == SQLITE_DONE;
      sqlite3_reset(link);
    }
  }
  for (int n = 1; ok && n <= size.files; ++n) {
    int owner = n * (size.mails / size.files) - static_cast<int>(random() % 3);
    const char* const* type = kTypes[random() % 6];
    std::string name = std::string(kWords[random() % 14]) + "_" + std::to_string(n) + "." + type[0];
    std::string folder = std::string(kAccounts[owner % 5 < 3 ? 0 : 1]) + "/recv/attachments/" + addressOf(senders[owner]);
    std::string path = folder + "/" + name;
    std::string sender = "Person " + addressOf(senders[owner]);
    sqlite3_bind_int(file, 1, n);
    sqlite3_bind_int(file, 2, owner);
    sqlite3_bind_text(file, 3, path.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(file, 4, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(file, 5, type[1], -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(file, 6, 1000 + static_cast<int>(random() % 5000000));
    sqlite3_bind_int(file, 7, n % 5 == 0 ? 1 : 2);
    ok = sqlite3_step(file) == SQLITE_DONE;
    sqlite3_reset(file);
    sqlite3_bind_int(fts, 1, n);
    sqlite3_bind_text(fts, 2, sender.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 3, kAccounts[0], -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 4, subjects[owner].c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 5, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(fts, 6, type[0], -1, SQLITE_TRANSIENT);
    ok = ok && sqlite3_step(fts) == SQLITE_DONE;
    sqlite3_reset(fts);
    std::filesystem::create_directories(attachments + "/" + folder);
    std::string full = attachments + "/" + path;
    FILE* out = fopen(full.c_str(), "wb");
    ok = ok && out != nullptr && fputs("x", out) >= 0;
    if (out != nullptr) fclose(out);
    ok = ok && SetFileTime(full.c_str(), dates[owner]) == 1;
  }
  for (sqlite3_stmt* s : {address, mail, link, file, fts}) sqlite3_finalize(s);
  ok = ok && Exec(db, "COMMIT");
  ok = ok && GenerateContacts(db, ids, size);
  sqlite3_close(db);
  return ok;
}

}  // namespace pvtest

#endif  // PV_TESTS_SUPPORT_LIST_DATA_H

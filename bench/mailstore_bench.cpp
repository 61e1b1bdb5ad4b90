// The storage half of the indexer under load: 10,000 parsed mails (a
// quarter of them with one to three attachments of 10 to 300 KB) stored into
// a fresh database through MailSummary and ProcessAttachment, one
// transaction per mail, with the pictures drawn and without; next to the
// raw bound of the same run: the same rows inserted by a plain loop over
// prepared statements (one transaction per mail), alone and with the same
// decoded files written plainly.
//
//   mailstore_bench [mails [rounds]]        (default 10000 mails, 2 rounds)
//
// Only the storing is timed; making and parsing the mails is not. Each
// variant runs in a fresh HOME of its own below $TMPDIR (or /tmp), the
// variants take turns, the disk is synced between runs, and the best round
// of each counts: the commits wait for the disk, which others share.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/store/summaryschema.h"
#include "app/sync/fileinfomgrwin.h"
#include "app/sync/mailinit.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/processattachment.h"
#include "core/kfile.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"

extern "C" {
#include <c-client/c-client.h>
}

namespace {

using Clock = std::chrono::steady_clock;
const char* const kAccount = "someone@example.com";

// Type names without pictures: what the store costs when nothing is drawn.
class NoPictures : public FileInfoMgrWin {
 public:
  int GetFileIcon(const koString&, const char*, koString&) override { return 0; }
};

struct Attachment {
  std::string name;
  std::string bytes;
};

struct Mail {
  std::string text;
  std::vector<Attachment> attachments;  // decoded, for the raw bound
};

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t line = 0;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    if ((line += 4) == 76) {
      out += "\r\n";
      line = 0;
    }
  }
  return out + "\r\n";
}

// A photograph-like PNG of about `size` bytes (noise compresses badly).
std::string NoisePng(std::mt19937& random, size_t size) {
  int side = static_cast<int>(std::sqrt(static_cast<double>(size) / 3.0)) + 1;
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, side, side);
  guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
  int stride = gdk_pixbuf_get_rowstride(pixbuf);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side * 3; ++x) pixels[y * stride + x] = static_cast<guchar>(random());
  gchar* buffer = nullptr;
  gsize length = 0;
  gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &length, "png", nullptr, nullptr);
  std::string bytes(buffer, length);
  g_free(buffer);
  g_object_unref(pixbuf);
  return bytes;
}

// The same mails for every variant: the seed is fixed.
std::vector<Mail> MakeMails(int count) {
  std::mt19937 random(20090305);
  const char* const kExtensions[] = {".pdf", ".docx", ".zip", ".txt", ".png"};
  std::vector<Mail> mails(count);
  for (int i = 0; i < count; ++i) {
    Mail& mail = mails[i];
    const bool sent = random() % 5 == 0;
    const int sender = static_cast<int>(random() % 300);
    std::string head;
    if (sent) {
      head = std::string("From: Someone <") + kAccount + ">\r\nTo: Person " + std::to_string(sender) + " <p" +
             std::to_string(sender) + "@example.org>, p" + std::to_string((sender + 1) % 300) +
             "@example.org\r\nCc: \"Team\" <team@example.org>\r\n";
    } else {
      head = "Delivered-To: " + std::string(kAccount) + "\r\nFrom: \"Person " + std::to_string(sender) + "\" <p" +
             std::to_string(sender) + "@example.org>\r\nTo: " + kAccount + "\r\n";
    }
    head += "Subject: Mail number " + std::to_string(i) + "\r\nMessage-ID: <m" + std::to_string(i) +
            "@example.org>\r\n";
    if (i > 0 && random() % 2 == 0) head += "References: <m" + std::to_string(random() % i) + "@example.org>\r\n";
    head += "MIME-Version: 1.0\r\n";
    std::string body = "Some words of mail number " + std::to_string(i) + ".\r\n";
    if (i % 4 != 0) {
      mail.text = head + "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body;
      continue;
    }
    mail.text = head + "Content-Type: multipart/mixed; boundary=\"part\"\r\n\r\n--part\r\n"
                       "Content-Type: text/plain; charset=utf-8\r\n\r\n" + body;
    const int parts = 1 + static_cast<int>(random() % 3);
    for (int p = 0; p < parts; ++p) {
      const size_t size = 10 * 1024 + random() % (290 * 1024);
      const char* extension = kExtensions[random() % 5];
      Attachment attachment;
      attachment.name = "file" + std::to_string(i) + "-" + std::to_string(p) + extension;
      if (std::string(extension) == ".png") {
        attachment.bytes = NoisePng(random, size);
      } else {
        attachment.bytes.resize(size);
        for (char& c : attachment.bytes) c = static_cast<char>(random());
      }
      mail.text += "--part\r\nContent-Type: application/octet-stream; name=\"" + attachment.name +
                   "\"\r\nContent-Disposition: attachment; filename=\"" + attachment.name +
                   "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + Base64(attachment.bytes);
      mail.attachments.push_back(std::move(attachment));
    }
    mail.text += "--part--\r\n";
  }
  return mails;
}

// A fresh HOME with the data folder and an empty summary database.
std::string FreshHome(const char* variant) {
  const char* tmp = getenv("TMPDIR");
  std::string home = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/pvbench-" + variant + "-" +
                     std::to_string(getpid());
  std::filesystem::remove_all(home);
  std::filesystem::create_directories(home);
  setenv("HOME", home.c_str(), 1);
  for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"}) unsetenv(name);
  koString dir;
  PathMgr::GetConfigDir(dir);
  std::filesystem::create_directories(std::string(dir.GetString()) + "/data");
  koSQLite db(gLog);
  SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase);
  CreateSummarySchema(&db);
  return home;
}

// Calls store(message, mail, uid) for every mail, parsed as the indexer
// parses it (not timed).
template <typename Store>
void ForEachParsed(const std::vector<Mail>& mails, Store store) {
  MailMessage message;
  message.SetAccountEmail(kAccount);
  int uid = 0;
  for (const Mail& mail : mails) {
    message.Parse(mail.text.data(), static_cast<uint32_t>(mail.text.size()), 0);
    store(message, mail, ++uid);
  }
}

struct Result {
  double seconds = 0;
  double summarySeconds = 0;
  double commitSeconds = 0;  // END TRANSACTION, which waits for the disk
  int failures = 0;
};

Result RunStore(const std::vector<Mail>& mails, bool pictures) {
  std::string home = FreshHome(pictures ? "pictures" : "nopictures");
  koSQLite db(gLog);
  SQLiteMgr::OpenAndInitialize(&db, SQLiteMgr::kSummaryDatabase);
  NoPictures noPictures;
  MailSummary summary(&db, kAccount, 1);
  ProcessAttachment attachments(&db, kAccount, pictures ? nullptr : &noPictures);
  Result result;
  ForEachParsed(mails, [&](const MailMessage& message, const Mail&, int uid) {
    MailHeaderDetails record;
    record.uid = uid;
    record.receivedDate = 1236254400 + uid * 60;
    record.direction = message.GetDirection();
    message.GetSubject(record.subject);
    const ENVELOPE* envelope = message.GetEnvelope();
    record.messageId.SetAs(envelope->message_id ? envelope->message_id : "");
    const ADDRESS* counterpart = record.direction == MailMessage::kSent ? envelope->to : envelope->from;
    if (counterpart) MailSummary::FormatAddress(counterpart, record.counterpartName, record.counterpartEmail);

    Clock::time_point start = Clock::now();
    SQLiteMgr::ExecuteQuery(&db, "BEGIN IMMEDIATE TRANSACTION");
    int ok = summary.SaveMailSummary(record, message);
    Clock::time_point middle = Clock::now();
    ok = ok && attachments.SaveAttachmentSummary(record, message);
    Clock::time_point commit = Clock::now();
    SQLiteMgr::ExecuteQuery(&db, ok ? "END TRANSACTION" : "ROLLBACK TRANSACTION");
    Clock::time_point end = Clock::now();
    result.seconds += std::chrono::duration<double>(end - start).count();
    result.summarySeconds += std::chrono::duration<double>(middle - start).count();
    result.commitSeconds += std::chrono::duration<double>(end - commit).count();
    if (!ok) ++result.failures;
  });
  std::filesystem::remove_all(home);
  sync();
  return result;
}

// The raw bound: the same rows by plain prepared statements, ids kept in
// maps; with files, the same decoded bytes written with open/write.
struct Raw {
  sqlite3* db = nullptr;
  std::map<std::string, sqlite3_stmt*> statements;
  sqlite3_stmt* Get(const char* sql) {
    sqlite3_stmt*& s = statements[sql];
    if (s == nullptr) sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    sqlite3_reset(s);
    return s;
  }
  void Exec(const char* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }
  ~Raw() {
    for (auto& s : statements) sqlite3_finalize(s.second);
    sqlite3_close(db);
  }
};

void Text(sqlite3_stmt* s, int i, const std::string& v) { sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT); }

Result RunRaw(const std::vector<Mail>& mails, bool files) {
  std::string home = FreshHome(files ? "rawfiles" : "raw");
  koString dir;
  PathMgr::GetConfigDir(dir);
  Raw raw;
  sqlite3_open((std::string(dir.GetString()) + "/data/postvane.summary").c_str(), &raw.db);
  // As every summary-database connection of the program runs.
  raw.Exec("PRAGMA cache_size = 8000");
  raw.Exec("PRAGMA synchronous = FULL");
  PathMgr::GetAttachmentsDir(dir);
  const std::string root = dir.GetString();
  std::map<std::string, int> addresses;
  Result result;
  ForEachParsed(mails, [&](const MailMessage& message, const Mail& mail, int uid) {
    const ENVELOPE* envelope = message.GetEnvelope();
    const bool sent = message.GetDirection() == MailMessage::kSent;
    std::vector<std::pair<std::string, std::string>> people;  // name, address
    for (const ADDRESS* list : sent ? std::vector<const ADDRESS*>{envelope->to, envelope->bcc, envelope->cc}
                                    : std::vector<const ADDRESS*>{envelope->from}) {
      for (const ADDRESS* a = list; a != nullptr; a = a->next) {
        koString name, address;
        MailSummary::FormatAddress(a, name, address);
        people.emplace_back(name.GetString(), address.GetString());
      }
    }
    koString subject;
    message.GetSubject(subject);

    Clock::time_point start = Clock::now();
    raw.Exec("BEGIN IMMEDIATE TRANSACTION");
    sqlite3_stmt* s = raw.Get("INSERT INTO mail(uid, message_id, account_id, module_id, received_date, subject) VALUES(?,?,1,?,?,?)");
    sqlite3_bind_int(s, 1, uid);
    Text(s, 2, envelope->message_id);
    sqlite3_bind_int(s, 3, sent ? 2 : 1);
    sqlite3_bind_int64(s, 4, 1236254400 + uid * 60);
    Text(s, 5, subject.GetString());
    sqlite3_step(s);
    const int mailId = static_cast<int>(sqlite3_last_insert_rowid(raw.db));
    std::string participants;
    for (const auto& person : people) {
      int& id = addresses[person.second];
      if (id == 0) {
        s = raw.Get("INSERT INTO email_address(address, account_id) VALUES(?, 1)");
        Text(s, 1, person.second);
        sqlite3_step(s);
        id = static_cast<int>(sqlite3_last_insert_rowid(raw.db));
        s = raw.Get("INSERT INTO analytics_email(email_address_id, recv_first_mail_id, recv_last_mail_id) VALUES(?,?,?)");
        sqlite3_bind_int(s, 1, id);
        sqlite3_bind_int(s, 2, mailId);
        sqlite3_bind_int(s, 3, mailId);
        sqlite3_step(s);
        s = raw.Get("INSERT INTO contact(name, account_id, mark, type) VALUES(?, 1, 0, 0)");
        Text(s, 1, person.first.empty() ? person.second : person.first);
        sqlite3_step(s);
        const int contactId = static_cast<int>(sqlite3_last_insert_rowid(raw.db));
        s = raw.Get("INSERT INTO fts_contact(rowid, name, email) VALUES(?, ?, ?)");
        sqlite3_bind_int(s, 1, contactId);
        Text(s, 2, person.first);
        Text(s, 3, person.second);
        sqlite3_step(s);
        s = raw.Get("INSERT INTO contact_email_link(contact_id, email_address_id) VALUES(?, ?)");
        sqlite3_bind_int(s, 1, contactId);
        sqlite3_bind_int(s, 2, id);
        sqlite3_step(s);
      }
      s = raw.Get(sent ? "UPDATE analytics_email SET total_sent = total_sent + 1, sent_last_mail_id = ? WHERE email_address_id = ?"
                       : "UPDATE analytics_email SET total_received = total_received + 1, recv_last_mail_id = ? WHERE email_address_id = ?");
      sqlite3_bind_int(s, 1, mailId);
      sqlite3_bind_int(s, 2, id);
      sqlite3_step(s);
      s = raw.Get("INSERT INTO mail_email_link(mail_id, email_address_id) VALUES(?, ?)");
      sqlite3_bind_int(s, 1, mailId);
      sqlite3_bind_int(s, 2, id);
      sqlite3_step(s);
      participants += person.first + " " + person.second + " ";
    }
    s = raw.Get("INSERT INTO reference_master(mail_id, parent_message_id) VALUES(?, ?)");
    sqlite3_bind_int(s, 1, mailId);
    Text(s, 2, envelope->references ? std::string(envelope->references).substr(0, std::string(envelope->references).find(' '))
                                    : std::string(envelope->message_id));
    sqlite3_step(s);
    for (const Attachment& attachment : mail.attachments) {
      const std::string relative = std::string(kAccount) + "/recv/attachments/" + attachment.name;
      if (files) {
        std::filesystem::create_directories(root + "/" + kAccount + "/recv/attachments");
        koFile file;
        const unsigned int size = static_cast<unsigned int>(attachment.bytes.size());
        if (file.Open((root + "/" + relative).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600) != 1 ||
            file.Write(attachment.bytes.data(), size) != static_cast<int>(size))
          ++result.failures;
        file.Close();
      }
      s = raw.Get("INSERT INTO file(mail_id, file_path, file_name, file_type, size, parent, is_folder, is_inline) VALUES(?,?,?,?,?,NULL,0,2)");
      sqlite3_bind_int(s, 1, mailId);
      Text(s, 2, relative);
      Text(s, 3, attachment.name);
      Text(s, 4, "PDF document");
      sqlite3_bind_int64(s, 5, static_cast<int64_t>(attachment.bytes.size()));
      sqlite3_step(s);
      s = raw.Get("INSERT INTO fts_file(rowid, [from], [to], subject, filename, type) VALUES(?,?,?,?,?,?)");
      sqlite3_bind_int64(s, 1, sqlite3_last_insert_rowid(raw.db));
      Text(s, 2, participants);
      Text(s, 3, kAccount);
      Text(s, 4, subject.GetString());
      Text(s, 5, attachment.name);
      Text(s, 6, attachment.name.substr(attachment.name.rfind('.') + 1));
      sqlite3_step(s);
    }
    raw.Exec("END TRANSACTION");
    result.seconds += std::chrono::duration<double>(Clock::now() - start).count();
  });
  std::filesystem::remove_all(home);
  sync();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? atoi(argv[1]) : 10000;
  InitMailLibrary();
  std::string logPath = std::filesystem::temp_directory_path().string() + "/mailstore_bench.log";
  koLog log("bench");
  log.SetFileName(logPath.c_str());
  gLog = &log;
  setenv("LANG", "C", 1);

  std::vector<Mail> mails = MakeMails(count);
  double megabytes = 0;
  int withAttachments = 0;
  size_t files = 0;
  for (const Mail& mail : mails) {
    megabytes += mail.text.size() / 1e6;
    withAttachments += mail.attachments.empty() ? 0 : 1;
    files += mail.attachments.size();
  }
  printf("%d mails (%d with %zu attachments), %.1f MB of mail text\n\n", count, withAttachments, files, megabytes);
  printf("%-36s %9s %9s %9s %10s\n", "variant", "seconds", "mails/s", "MB/s", "x raw+files");

  const int rounds = argc > 2 ? atoi(argv[2]) : 2;
  Result raw, rawFiles, off, on;
  auto best = [](Result& kept, const Result& next) {
    int failures = kept.failures + next.failures;
    if (kept.seconds == 0 || next.seconds < kept.seconds) kept = next;
    kept.failures = failures;
  };
  for (int round = 0; round < rounds; ++round) {
    best(raw, RunRaw(mails, false));
    best(rawFiles, RunRaw(mails, true));
    best(off, RunStore(mails, false));
    best(on, RunStore(mails, true));
  }
  const struct {
    const char* name;
    const Result* result;
  } rows[] = {{"raw SQLite rows", &raw},
              {"raw SQLite rows + plain file writes", &rawFiles},
              {"store, pictures off", &off},
              {"store, pictures on", &on}};
  for (const auto& row : rows) {
    printf("%-36s %9.2f %9.0f %9.1f %10.2f%s\n", row.name, row.result->seconds, count / row.result->seconds,
           megabytes / row.result->seconds, row.result->seconds / rawFiles.seconds,
           row.result->failures ? "  (failures!)" : "");
  }
  printf("\n%-22s %12s %12s %12s\n", "where the store's time goes", "summary rows", "attachments", "commits");
  for (const Result* r : {&off, &on}) {
    printf("%-22s %11.2fs %11.2fs %11.2fs\n", r == &off ? "pictures off" : "pictures on", r->summarySeconds,
           r->seconds - r->summarySeconds - r->commitSeconds, r->commitSeconds);
  }
  printf("log: %s\n", logPath.c_str());
  gLog = nullptr;
  return off.failures + on.failures + raw.failures + rawFiles.failures == 0 ? 0 : 1;
}

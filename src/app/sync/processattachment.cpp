#include "app/sync/processattachment.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/store/configmgr.h"
#include "app/sync/fileinfomgrwin.h"
#include "app/sync/mailmessage.h"
#include "app/sync/mailsummary.h"
#include "app/sync/mimetext.h"
#include "core/kfile.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/unnamedfiles.h"

extern "C" {
#include <c-client/c-client.h>
}

namespace {

const char* const kInsertFile =
    "INSERT INTO [file]([mail_id], [file_path], [file_name], [file_type], [size], [parent], "
    "[is_folder], [is_inline]) VALUES(?, ?, ?, ?, ?, ?, ?, ?)";
const char* const kInsertFtsFile =
    "INSERT INTO fts_file ([rowid], [from], [to], [subject], [filename], [type]) values(?, ?, ?, ?, ?, ?)";

// The path limit the names are fitted to, and its allowance for a long extension.
const uint32_t kPathLimit = 191;
const uint32_t kLongExtensionLimit = 196;
const uint32_t kMaxExtension = 5;
// Sender names longer than this are left out of the folder name.
const uint32_t kMaxSenderName = 30;
// A folder level must fit NAME_MAX (255) with room to spare.
const uint32_t kMaxFolderName = 200;
const uint32_t kMaxSubjectName = 64;
const int kMaxSuffix = 998;
const uint32_t kCompareBlock = 1024;

void LogUid(const char* format, uint32_t uid) {
  koString msg;
  msg.Format(format, uid);
  KO_LOG(-1, msg.GetString());
}

// The part's transfer encoding undone: base64 and quoted-printable through
// the mail library, anything else as it is (also when decoding fails).
void DecodeBodyPart(const koString& content, int encoding, koString& out) {
  unsigned long length = 0;
  unsigned char* source = reinterpret_cast<unsigned char*>(const_cast<char*>(content.GetString()));
  void* decoded = nullptr;
  if (encoding == ENCBASE64) decoded = rfc822_base64(source, content.GetLength(), &length);
  if (encoding == ENCQUOTEDPRINTABLE) decoded = rfc822_qprint(source, content.GetLength(), &length);
  if (decoded == nullptr) {
    out.SetAs(content);
    return;
  }
  out.SetAs(static_cast<const char*>(decoded), static_cast<int>(length));
  fs_give(&decoded);
}

// True when the open folder holds a regular file `name` with exactly these
// bytes (compared block by block; never through a link).
bool IsSameFileContent(int folder, const char* name, const koString& bytes) {
  koFile file;
  if (file.OpenAt(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK, 0) != 1) return false;
  struct stat st;
  bool same = fstat(file.GetDescriptor(), &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<uint64_t>(st.st_size) == bytes.GetLength();
  char block[kCompareBlock];
  for (uint32_t at = 0; same && at < bytes.GetLength();) {
    int n = file.Read(block, sizeof block);
    same = n > 0 && at + static_cast<uint32_t>(n) <= bytes.GetLength() &&
           memcmp(block, bytes.GetString() + at, static_cast<size_t>(n)) == 0;
    at += n > 0 ? static_cast<uint32_t>(n) : 0;
  }
  file.Close();
  return same;
}

// The file system refuses this name, not every name: another may still be made.
bool IsNameError(int error) { return error == ENAMETOOLONG || error == EILSEQ || error == EINVAL; }

// An account address names exactly one folder level.
bool IsFolderName(const koString& name) {
  const char* s = name.GetString();
  return name.GetLength() > 0 && name.GetLength() <= kMaxFolderName && strlen(s) == name.GetLength() &&
         strchr(s, '/') == nullptr && strcmp(s, ".") != 0 && strcmp(s, "..") != 0;
}

}  // namespace

ProcessAttachment::ProcessAttachment(koSQLite* db, const char* accountEmail, FileInfoMgr* pictures)
    : db_(db), accountEmail_(accountEmail), accountFolder_(accountEmail), pictures_(pictures) {
  PathMgr::GetAttachmentsDir(attachmentsRoot_);
  koString temp;
  if (GetTempDirectory(temp, 1)) tempPathLength_ = temp.GetLength();
}

ProcessAttachment::~ProcessAttachment() { db_->Finalize(&ftsStatement_); }

void ProcessAttachment::CutUtf8(koString& text, uint32_t maxBytes) {
  if (text.GetLength() <= maxBytes) return;
  const char* s = text.GetString();
  uint32_t n = maxBytes;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  text.RemoveLast(text.GetLength() - n);
}

void ProcessAttachment::SplitName(const koString& name, koString& base, koString& extension) {
  const char* s = name.GetString();
  const char* dot = strrchr(s, '.');
  uint32_t at = dot != nullptr ? static_cast<uint32_t>(dot - s) : name.GetLength();
  base.SetAs(s, static_cast<int>(at));
  extension.SetAs(s + at, static_cast<int>(name.GetLength() - at));
}

bool ProcessAttachment::IsReservedDotName(const koString& name) {
  const char* s = name.GetString();
  if (s[0] == '\0') return true;
  if (s[0] != '.') return false;
  if (s[1] != '.') return true;  // "." and hidden-file names
  return strspn(s, ".") == name.GetLength();
}

void ProcessAttachment::FitNameToPathLimit(koString& name, uint32_t relativeFolderLength) const {
  uint32_t root = attachmentsRoot_.GetLength() > tempPathLength_ ? attachmentsRoot_.GetLength() : tempPathLength_;
  int64_t base = static_cast<int64_t>(root) + relativeFolderLength;
  int64_t length = name.GetLength();
  if (base + length < kPathLimit && length < kPathLimit) return;
  koString stem;
  koString extension;
  SplitName(name, stem, extension);
  int64_t excess;
  if (extension.GetLength() > kMaxExtension) {
    int64_t uncut = extension.GetLength();
    CutUtf8(extension, kMaxExtension);
    excess = base + length - uncut - kLongExtensionLimit;
  } else {
    excess = base + length - kPathLimit;
  }
  if (excess > 0) {
    if (static_cast<int64_t>(stem.GetLength()) - excess >= 4) {
      CutUtf8(stem, static_cast<uint32_t>(stem.GetLength() - excess));
    } else if (stem.GetLength() > 3) {
      CutUtf8(stem, 3);
    }
  }
  name.SetAs(stem);
  name += extension;
}

void ProcessAttachment::BuildSenderFolder() {
  senderFolder_.Clear();
  if (record_->direction != MailMessage::kReceived) return;
  if (!MailSummary::IsUsableAddress(record_->counterpartEmail)) record_->counterpartEmail.SetAs("(unknown)");
  const koString& name = record_->counterpartName;
  if (name.GetLength() <= kMaxSenderName && name.GetLength() > 0) {
    senderFolder_.SetAs(name);
    senderFolder_ += " ";
  }
  // Without an address the folder ends in "(unknown)" itself.
  const koString& address = record_->counterpartEmail;
  if (address.EqualsNoCase("(unknown)")) {
    senderFolder_ += address;
  } else {
    senderFolder_.AppendFormat("(%s)", address.GetString());
  }
  SanitizeFileName(senderFolder_);
  // A folder the user cannot see is no use: no leading dots or blanks.
  const char* s = senderFolder_.GetString();
  size_t hidden = strspn(s, ". ");
  if (hidden > 0) senderFolder_.SetAs(s + hidden, static_cast<int>(senderFolder_.GetLength() - hidden));
  CutUtf8(senderFolder_, kMaxFolderName);
  if (senderFolder_.GetLength() == 0) senderFolder_.SetAs("(unknown)");

  // One sender spelt in other letter cases keeps one folder, as it would on
  // a file system that ignores case.
  koString parent(attachmentsRoot_.GetString());
  PathMgr::Join(parent, accountFolder_.GetString());
  PathMgr::Join(parent, directionWord_.GetString());
  PathMgr::Join(parent, "attachments");
  koString folder(parent.GetString());
  PathMgr::Join(folder, senderFolder_.GetString());
  struct stat st;
  if (lstat(folder.GetString(), &st) == 0) return;
  koDirReader reader;
  reader.SetFlags(PR_SKIP_DOT | PR_SKIP_DOT_DOT);
  if (!reader.Open(parent.GetString())) return;
  koString entry;
  while (reader.NextEntry(entry)) {
    if (entry.EqualsNoCase(senderFolder_.GetString())) {
      senderFolder_.SetAs(entry);
      return;
    }
  }
}

void ProcessAttachment::RelativeFolder(koString& out) const {
  out.SetAs(accountFolder_);
  PathMgr::Join(out, directionWord_.GetString());
  PathMgr::Join(out, "attachments");
  if (senderFolder_.GetLength() > 0) PathMgr::Join(out, senderFolder_.GetString());
}

void ProcessAttachment::SetUnnamedFiles(UnnamedFiles* files, UnnamedFiles* pictureFiles) {
  unnamedFiles_ = files;
  pictureFiles_ = pictureFiles;
}

int ProcessAttachment::SaveAttachmentSummary(MailHeaderDetails& record, const MailMessage& message) {
  const BODY* body = message.GetBodyStructure();
  if (body == nullptr) return 1;
  if (attachmentsRoot_.GetLength() == 0 || !IsFolderName(accountFolder_)) {
    KO_LOG(-1, "ExtractAttachments: no attachments folder for the account");
    return 0;
  }
  record_ = &record;
  message_ = &message;
  directionWord_.SetAs(record.direction == MailMessage::kReceived ? "recv" : "sent");
  BuildSenderFolder();
  std::unique_ptr<FileInfoMgr> own;
  if (pictures_ == nullptr) own = std::make_unique<FileInfoMgrWin>();
  current_ = pictures_ != nullptr ? pictures_ : own.get();
  current_->SetUnnamedFiles(pictureFiles_);
  // A single-part mail's body is IMAP section 1.
  int ok = ExtractAttachments(body, koString(body->type == TYPEMULTIPART ? "" : "1"));
  current_->SetUnnamedFiles(nullptr);
  record_ = nullptr;
  message_ = nullptr;
  current_ = nullptr;
  if (!ok) {
    KO_LOG(-1, "ExtractAttachments");
    return 0;
  }
  return 1;
}

int ProcessAttachment::ExtractAttachments(const BODY* part, const koString& section) {
  section_.SetAs(section);
  if (!SaveAttachmentDetails(part)) {
    LogUid("SaveAttachmentDetails[MailUid: %u]", record_->uid);
    return 0;
  }
  if (part->type != TYPEMULTIPART) return 1;
  int n = 0;
  for (const PART* child = part->nested.part; child != nullptr; child = child->next) {
    koString inner;
    inner.Format(section.GetLength() > 0 ? "%s.%d" : "%s%d", section.GetString(), ++n);
    if (!ExtractAttachments(&child->body, inner)) {
      LogUid("ExtractAttachments[MailUid: %u]", record_->uid);
      return 0;
    }
  }
  return 1;
}

int ProcessAttachment::GetPartFileName(const BODY* part, koString& name) {
  name.Clear();
  inline_ = part->disposition.type != nullptr && strcasecmp(part->disposition.type, "attachment") == 0 ? 2 : 1;
  if (part->type == TYPEMESSAGE) return 1;
  // The names are read from the part's own header: the mail library's
  // parameter list cuts unquoted names at blanks and knows no RFC 2231.
  koString header;
  if (part == message_->GetBodyStructure()) {
    message_->GetRawText(header);
  } else {
    message_->GetPartText(part, header);
  }
  koString type;
  koString disposition;
  MimeText::GetField(header.GetString(), header.GetLength(), "Content-Type", type);
  const bool hasDisposition =
      MimeText::GetField(header.GetString(), header.GetLength(), "Content-Disposition", disposition) &&
      MimeText::CountParameters(disposition) > 0;
  int found = hasDisposition && MimeText::GetParameter(disposition, "filename", name);
  switch (part->type) {
    case TYPEAPPLICATION:
    case TYPEAUDIO:
    case TYPEIMAGE:
    case TYPEVIDEO:
      // A disposition with other parameters only must not cost the part
      // the name its type gives.
      if (!found) found = MimeText::GetParameter(type, "name", name);
      break;
    default:
      break;
  }
  if (!found) return 0;
  if (name.GetLength() == 0) name.SetAs("(no subject)");
  return 1;
}

int ProcessAttachment::SaveAttachmentDetails(const BODY* part) {
  koString name;
  if (!GetPartFileName(part, name)) return 1;
  koString content;
  message_->GetSectionText(part, content);
  if (part->type == TYPEMESSAGE) {
    koString text;
    DecodeBodyPart(content, part->encoding, text);
    MailMessage inner;
    inner.Parse(text.GetString(), text.GetLength(), 0);
    inner.GetSubject(name);
    if (name.GetLength() == 0) {
      name.Format("mail_%u", record_->uid);
    } else {
      CutUtf8(name, kMaxSubjectName);
    }
    name += ".eml";
  }

  koString displayName;
  koString storedName;
  int64_t size = 0;
  int saved = SaveAttachment(content, part->encoding, name, displayName, storedName, &size);
  if (saved == 0) {
    LogUid("SaveAttachment[MailUid: %u]", record_->uid);
    return 0;
  }
  if (saved < 0) return 1;
  koString relative;
  RelativeFolder(relative);
  koString label;
  label.Format("INSERT_FILE [MailId: %d, FileName: %s/%s]", record_->mailId, relative.GetString(),
               displayName.GetString());
  PathMgr::Join(relative, storedName.GetString());
  koString path(attachmentsRoot_.GetString());
  PathMgr::Join(path, relative.GetString());
  koString typeName;
  current_->GetFileTypeName(path, typeName);
  // The mail is stored without a picture when none can be drawn.
  koString icon;
  current_->GetFileIcon(relative, "extralarge", icon);

  koStatement insert(db_, kInsertFile);
  insert.Int(record_->mailId).Text(relative).Text(displayName).Text(typeName).Int64(size).Null().Int(0).Int(inline_);
  if (!insert.Step(label.GetString())) {
    KO_LOG(-1, "UpdateAttachmentToMailRelation");
    return 0;
  }
  if (!InsertFtsFile(storedName)) {
    KO_LOG(-1, "FailedToInsertFtsindexdValues");
    return 0;
  }
  return 1;
}

int ProcessAttachment::SaveAttachment(const koString& content, int encoding, const koString& name,
                                      koString& displayName, koString& storedName, int64_t* size) {
  koString bytes;
  DecodeBodyPart(content, encoding, bytes);
  *size = bytes.GetLength();
  koString folder;
  RelativeFolder(folder);
  displayName.SetAs(name);
  SanitizeFileName(displayName);
  FitNameToPathLimit(displayName, folder.GetLength() + 1);
  if (IsReservedDotName(displayName)) displayName.Format("%u", record_->uid);
  storedName.SetAs(displayName);

  int err = 0;
  int dir = OpenFolderChain(attachmentsRoot_.GetString(), folder.GetString(), 0755, &err);
  if (dir < 0) {
    koString msg;
    msg.Format("Unable to create the folder [path:%s]", folder.GetString());
    KO_LOG(err, msg.GetString());
    ReportStorageFailure(err, folder.GetString());
    return 0;
  }
  koString stem;
  koString extension;
  SplitName(displayName, stem, extension);
  const koString firstExtension(extension.GetString());
  koString candidate(displayName.GetString());
  koFile unnamed;
  int unnamedState = 0;
  int suffix = 0;
  int otherErrors = 0;
  bool lastResort = false;
  int result = 0;
  for (;;) {
    int rc = CreateFile(dir, candidate.GetString(), bytes, unnamed, &unnamedState);
    if (rc == 1) {
      result = 1;
      break;
    }
    if (rc == -2) {
      ReportStorageFailure(writeError_, folder.GetString());
      break;
    }
    if (rc == 0) {
      if (!lastResort && ++suffix <= kMaxSuffix) {
        candidate.Format("%s(%d)%s", stem.GetString(), suffix, extension.GetString());
        continue;
      }
    } else {
      int error = errno;
      koString path;
      path.Format("%s/%s/%s", attachmentsRoot_.GetString(), folder.GetString(), candidate.GetString());
      KO_LOG(error, path.GetString());
      // The name itself may be what the file system refuses: the mail's uid
      // with the extension, then the uid alone.
      if (!lastResort && ++otherErrors < 3) {
        stem.Format("%u", record_->uid);
        if (otherErrors == 2) extension.Clear();
        candidate.Format("%s%s", stem.GetString(), extension.GetString());
        suffix = 0;
        continue;
      }
      // A full disk or a folder we may not write in passes: the mail is retried.
      if (!IsNameError(error)) {
        ReportStorageFailure(error, folder.GetString());
        break;
      }
    }
    if (lastResort) {
      koString msg;
      msg.Format("No name for an attachment, left out [MailUid: %u, Part: %s]", record_->uid, candidate.GetString());
      KO_LOG(-1, msg.GetString());
      result = -1;
      break;
    }
    // Unique within the sender's folder, whatever the mail's names.
    lastResort = true;
    candidate.Format("%u-%s%s", record_->uid, section_.GetLength() > 0 ? section_.GetString() : "0",
                     rc == 0 ? firstExtension.GetString() : "");
    koString msg;
    msg.Format("No free name for an attachment, saved as %s [MailUid: %u]", candidate.GetString(), record_->uid);
    KO_LOG(-1, msg.GetString());
  }
  unnamed.Close();
  close(dir);
  if (result == 1) storedName.SetAs(candidate);
  return result;
}

int ProcessAttachment::WriteContent(koFile& file, const char* name, const koString& bytes) {
  if (file.Write(bytes.GetString(), bytes.GetLength()) != static_cast<int>(bytes.GetLength())) {
    writeError_ = errno;
    LogUid("Unable to write into the file[MailUid: %u]", record_->uid);
    return 0;
  }
  if (record_->receivedDate != 0) {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(record_->receivedDate);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    if (futimens(file.GetDescriptor(), times) != 0) {
      koString msg;
      msg.Format("Unable to update the file[FileName: %s]", name);
      KO_LOG(errno, msg.GetString());
    }
  }
  return 1;
}

int ProcessAttachment::CreateFile(int folder, const char* name, const koString& bytes, koFile& unnamed,
                                  int* unnamedState) {
  // Written once as an unnamed file and linked in whole under each name
  // tried: a process killed in the middle of the write leaves no torn file
  // under the name, which the retry would not recognise and would write
  // again as "(1)", and a name that is taken costs no second write. Where
  // the file system has no unnamed files, the name is created directly.
  if (*unnamedState == 0) {
    int made = unnamedFiles_ != nullptr ? unnamedFiles_->Take() : -1;
    if (made >= 0) {
      unnamed.Adopt(made);
      *unnamedState = 2;
    } else {
      *unnamedState = unnamed.OpenAt(folder, ".", O_WRONLY | O_TMPFILE, 0600) == 1 ? 1 : -1;
    }
    if (*unnamedState > 0 && !WriteContent(unnamed, name, bytes)) return -2;
  }
  if (*unnamedState < 0) {
    koFile file;
    // O_EXCL with O_NOFOLLOW: never onto an existing file, never through a link.
    if (file.OpenAt(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600) != 1) {
      if (errno != EEXIST) return -1;
      return IsSameFileContent(folder, name, bytes) ? 1 : 0;
    }
    int written = WriteContent(file, name, bytes);
    file.Close();
    if (written) return 1;
    // A torn file would never match the retry's bytes: take it away.
    unlinkat(folder, name, 0);
    return -2;
  }
  // A link never replaces a name: an existing one is kept.
  if (LinkUnnamedFile(unnamed.GetDescriptor(), folder, name) == 0) return 1;
  int error = errno;
  if (error == EXDEV && *unnamedState == 2) {
    // The mail's folder lies on another file system than the files made
    // ahead: made in the folder itself from now on.
    unnamedFiles_ = nullptr;
    unnamed.Close();
    *unnamedState = 0;
    return CreateFile(folder, name, bytes, unnamed, unnamedState);
  }
  if (error != EEXIST) {
    errno = error;
    return -1;
  }
  return IsSameFileContent(folder, name, bytes) ? 1 : 0;
}

void ProcessAttachment::ReportStorageFailure(int error, const char* path) {
  koString text;
  text.Format("Attachments cannot be saved in %s/%s: %s", attachmentsRoot_.GetString(), path,
              strerror(error != 0 ? error : EIO));
  if (gConfigMgr != nullptr) gConfigMgr->SetStatusByEmail(accountEmail_.GetString(), text.GetString());
}

int ProcessAttachment::InsertFtsFile(const koString& storedName) {
  int64_t rowId = db_->GetLastInsertRowId();
  koString stem;
  koString type;
  SplitName(storedName, stem, type);
  type.TrimLeftChar('.');
  koString participants(record_->participants.GetString());
  koString subject(record_->subject.GetString());
  MimeText::RepairUtf8(participants);
  MimeText::RepairUtf8(subject);
  const bool received = record_->direction == MailMessage::kReceived;
  sqlite3_stmt** s = &ftsStatement_;
  // A schema change since the statement was compiled fails its step (the
  // connection compiles with the legacy interface, which does not compile
  // anew by itself): one more try on a fresh statement.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (ftsStatement_ == nullptr && !db_->Prepare(s, kInsertFtsFile)) break;
    bool stepped = db_->SetInt64(s, 1, rowId) && db_->SetText(s, 2, received ? participants : accountFolder_) &&
                   db_->SetText(s, 3, received ? accountFolder_ : participants) && db_->SetText(s, 4, subject) &&
                   db_->SetText(s, 5, storedName) && db_->SetText(s, 6, type) && db_->Step(s, 0);
    if (stepped) {
      db_->Reset(s);
      return 1;
    }
    db_->Finalize(s);
  }
  KO_LOG(-1, kInsertFtsFile);
  return 0;
}

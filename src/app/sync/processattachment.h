// ProcessAttachment: walks the MIME structure of one downloaded mail, writes
// every part that counts as an attachment to a file, and records it: one
// [file] row and one fts_file row per part, and the file's "extralarge"
// picture (FileInfoMgr).
//
// Files lie under the attachments root (PathMgr) at
// <account>/<recv|sent>/attachments/[<sender folder>/]<name>; [file].file_path
// holds that path relative to the root, with '/'. Whatever the sender, the
// part's name or the subject say, a file stays under the root: names are
// cleaned and cut (never inside a UTF-8 character), no folder level is
// reached through a link, and a file is only ever created new (O_EXCL): an
// existing one is reused when it holds the same bytes, else the name takes
// the next "(n)" suffix. A part whose names all run out, or that no name
// can be made for, is saved as "<uid>-<section>" (its IMAP section; the
// extension kept when only the suffixes ran out), or, when that is taken
// too, left out with a log record: such a part never holds the mail back.
// Only failures that may pass (a full disk, a failed write) fail the mail.
//
// The indexer makes one per account and uses it on the account's mail thread
// inside the mail's transaction; the connection is borrowed and must outlive
// the object. On 0 the caller rolls the mail back; files already written stay
// and are found again (same bytes) by the retry. Not thread-safe.
#ifndef PV_APP_SYNC_PROCESSATTACHMENT_H
#define PV_APP_SYNC_PROCESSATTACHMENT_H

#include <cstdint>

#include "core/kstring.h"

class FileInfoMgr;
class MailMessage;
class UnnamedFiles;
class koFile;
class koSQLite;
struct MailHeaderDetails;
struct mail_bodystruct;
struct sqlite3_stmt;

class ProcessAttachment {
 public:
  // pictures: draws pictures and type names (borrowed; it must outlive the
  // object); null: a FileInfoMgrWin of our own for each mail.
  ProcessAttachment(koSQLite* db, const char* accountEmail, FileInfoMgr* pictures = nullptr);
  ~ProcessAttachment();
  ProcessAttachment(const ProcessAttachment&) = delete;
  ProcessAttachment& operator=(const ProcessAttachment&) = delete;

  // Files made ahead for the attachments (on the attachments root's file
  // system) and their pictures (on the picture folder's); borrowed, null
  // for none: each file is then made when it is written.
  void SetUnnamedFiles(UnnamedFiles* files, UnnamedFiles* pictureFiles);

  // Extracts the attachments of the stored mail record.mailId. A received
  // mail without a usable sender address gets "(unknown)" as the record's
  // counterpart address. 1 (also for a mail without body structure), or 0.
  int SaveAttachmentSummary(MailHeaderDetails& record, const MailMessage& message);

  // Shortens a file name (in place) so that the longer of the two roots
  // plus the relative folder plus the name stays below 191 bytes: the
  // extension keeps at most 5 bytes, the base name loses the excess (or is
  // cut to 3 bytes when less than 4 would be left). Cuts fall back to the
  // start of a UTF-8 character.
  void FitNameToPathLimit(koString& name, uint32_t relativeFolderLength) const;
  // Empty, ".", only dots, or a hidden-file name (one dot, then no dot).
  static bool IsReservedDotName(const koString& name);
  // base (OUT) and extension (OUT, with its dot) of a file name: the
  // extension starts at the last dot.
  static void SplitName(const koString& name, koString& base, koString& extension);
  // Drops bytes from the end so that at most maxBytes remain, never leaving
  // half a UTF-8 character.
  static void CutUtf8(koString& text, uint32_t maxBytes);

 private:
  // section: the part's IMAP section ("" for a multipart top level).
  int ExtractAttachments(const struct mail_bodystruct* part, const koString& section);
  // 1 when the part is an attachment; name (OUT) its file name (empty for a
  // message part); sets the inline flag.
  int GetPartFileName(const struct mail_bodystruct* part, koString& name);
  int SaveAttachmentDetails(const struct mail_bodystruct* part);
  // Decodes content and writes it under the mail's folder. displayName and
  // storedName (OUT); size (OUT) the decoded byte count. 1 written or
  // reused, 0 failed (the mail is to be retried), -1 left out (logged).
  int SaveAttachment(const koString& content, int encoding, const koString& name,
                     koString& displayName, koString& storedName, int64_t* size);
  // Creates the file exclusively in the open folder, or reuses an equal
  // one: 1 written or reused, 0 taken by other bytes, -1 the name could not
  // be created (errno kept), -2 the write failed (logged). unnamed: the
  // bytes written once for every name tried (closed by the caller);
  // *unnamedState 0 before the first try.
  int CreateFile(int folder, const char* name, const koString& bytes, koFile& unnamed, int* unnamedState);
  // Writes all bytes and gives the file the mail's date. 1, or 0 (logged).
  int WriteContent(koFile& file, const char* name, const koString& bytes);
  int writeError_ = 0;  // errno of WriteContent's last failed write
  int InsertFtsFile(const koString& storedName);
  // A failure that keeps every attachment of the account from being saved
  // (a full disk, a folder that cannot be written) becomes the account's
  // status, so the pages show why indexing stands still.
  void ReportStorageFailure(int error, const char* path);
  void BuildSenderFolder();
  // The folder of this mail's files relative to the root, '/' inside, no
  // trailing '/'.
  void RelativeFolder(koString& out) const;

  koSQLite* db_;
  koString attachmentsRoot_;
  uint32_t tempPathLength_ = 0;
  sqlite3_stmt* ftsStatement_ = nullptr;
  int inline_ = 1;  // 1 inline or no disposition, 2 "attachment"
  koString directionWord_;
  koString accountEmail_;
  koString accountFolder_;
  koString senderFolder_;
  koString section_;  // of the part being saved
  FileInfoMgr* pictures_;
  UnnamedFiles* unnamedFiles_ = nullptr;
  UnnamedFiles* pictureFiles_ = nullptr;
  FileInfoMgr* current_ = nullptr;  // during SaveAttachmentSummary
  MailHeaderDetails* record_ = nullptr;
  const MailMessage* message_ = nullptr;
};

#endif  // PV_APP_SYNC_PROCESSATTACHMENT_H

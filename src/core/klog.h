// koLog: the append-only error log, one record per failure.
//
// Safe to call from several threads: a mutex orders the records and each
// record is written whole. The file is opened and closed for every record, so
// others may read, move or delete it in between and a crash loses nothing.
//
// The log stays bounded whatever clients do: records of one refusal cause
// are folded to one a second (WriteFolded), and a file that a record would
// take past the size limit first becomes <path>.1 (replacing the older
// copy). Both happen under the lock, so a record is always in one of the two
// files.
#ifndef PV_CORE_KLOG_H
#define PV_CORE_KLOG_H

#include <cstdint>

#include "core/kstring.h"

class koMutex;

class koLog {
 public:
  // postvane.log and postvane.log.1 together stay below twice this.
  static constexpr uint64_t kDefaultSizeLimit = 4 * 1024 * 1024;
  // Causes folded at once; a further cause is written unfolded.
  static constexpr int kMaxFoldedCauses = 16;

  // tag is written first in every record ("1.89 Beta" in postvane).
  explicit koLog(const char* tag);
  // Writes the counts of records still folded.
  virtual ~koLog();
  koLog(const koLog&) = delete;
  koLog& operator=(const koLog&) = delete;

  void SetFileName(const char* path);
  void SetFileName(const koString& path);
  // The size a file may reach before it is rotated; 0: never rotated.
  void SetSizeLimit(uint64_t bytes);
  // The clock that folding counts seconds by (milliseconds, monotonic);
  // null restores the system's.
  void SetClock(int64_t (*nowMs)());

  // Appends "[tag] [local time] file(line) ErrCode:code ErrMsg:message\n",
  // with every control byte of message written as "\xNN", so that one call is
  // one line whatever the message holds. The file is created 0600 (and an
  // older one tightened to its owner). Without a path nothing is written; a
  // file that cannot be opened sends the record to standard error, after a
  // note of why the first time. Counts of folded records waiting go out first.
  void Write(const char* file, int line, int code, const char* message);
  // Write for records that clients can cause at any rate. `cause` names the
  // kind of record (its first 95 bytes count): the first record of a cause
  // in a second of the clock is written, the others of that second are
  // only counted. The count goes out as a record of its own, "<cause>: <n>
  // more such records folded", before the next record that is written.
  void WriteFolded(const char* file, int line, int code, const char* cause, const char* message);

 private:
  struct Fold {
    char cause[96];
    int64_t second;
    uint64_t folded;
    const char* file;  // of the first record folded
    int line;
    int code;
  };
  // Both need the lock.
  void FlushFolds();
  void Append(const char* file, int line, int code, const char* message);

  koMutex* lock_;
  bool told_ = false;  // the note on standard error was written
  koString path_;
  koString tag_;
  uint64_t size_limit_ = kDefaultSizeLimit;
  int64_t (*now_ms_)() = nullptr;
  Fold folds_[kMaxFoldedCauses] = {};
  int fold_count_ = 0;
};

// The process-wide logger; null where no logger is installed (then nothing is logged).
extern koLog* gLog;

// Writes one record through gLog when it is set. `msg` is a zero-terminated text.
#define KO_LOG(code, msg)                                 \
  do {                                                    \
    if (gLog) gLog->Write(__FILE__, __LINE__, (code), (msg)); \
  } while (0)

// The same for records that clients can cause at any rate (see WriteFolded).
#define KO_LOG_FOLDED(code, cause, msg)                                   \
  do {                                                                    \
    if (gLog) gLog->WriteFolded(__FILE__, __LINE__, (code), (cause), (msg)); \
  } while (0)

#endif  // PV_CORE_KLOG_H

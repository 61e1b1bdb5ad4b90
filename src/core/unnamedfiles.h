// UnnamedFiles: empty files without a name, made ahead of need on a thread
// of their own, so that a writer of many small files does not wait for the
// file system to find room for each new one (on some that costs more than
// the write). A file taken is written and then linked under its name
// anywhere on the folder's file system (LinkUnnamedFile); one that is never
// linked leaves nothing behind, even when the process is killed.
//
// Ownership: the object owns its thread and every file not taken; a taken
// descriptor is the taker's. Take is for one thread at a time.
#ifndef PV_CORE_UNNAMEDFILES_H
#define PV_CORE_UNNAMEDFILES_H

#include <cstddef>
#include <vector>

#include "core/kstring.h"
#include "core/kthread.h"

class UnnamedFiles {
 public:
  // folder: where the files are made; made on first use, not here.
  explicit UnnamedFiles(const char* folder, size_t depth = 8);
  // Ends the thread and closes the files not taken (they vanish).
  ~UnnamedFiles();
  UnnamedFiles(const UnnamedFiles&) = delete;
  UnnamedFiles& operator=(const UnnamedFiles&) = delete;

  // Makes the first files on the caller's thread, then starts the thread
  // that makes up for those taken. 1 when it runs.
  int Start();
  // An empty unnamed file open for writing (mode 0600), or -1 when none is
  // ready: the caller makes its own then.
  int Take();

 private:
  static void ThreadMain(void* self);
  void Run();
  // Makes files until `depth` wait or the folder refuses one.
  void Fill();

  koString folder_;
  size_t depth_;
  koThread thread_;
  int logged_ = 0;  // whether a refusal was logged; the filler's own
  koEvent wanted_;  // a file was taken, or the end was posted
  koMutex lock_;
  // Under lock_.
  int quit_ = 0;
  std::vector<int> ready_;
};

// Gives the unnamed file open as fd the name `name` in the open folder
// `folder`; an existing name is never replaced. 0, or -1 with errno set
// (EEXIST: the name is taken; EXDEV: another file system).
int LinkUnnamedFile(int fd, int folder, const char* name);

#endif  // PV_CORE_UNNAMEDFILES_H

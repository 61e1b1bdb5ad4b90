// CrashHandler: turns a fatal signal anywhere in the process into a crash
// report in the data directory and a message on standard error.
//
// The report file is created at start and stays open, empty and locked (flock)
// for the process's life, so writing it at crash time needs no file creation,
// and another instance's pruning never removes it. A normal exit deletes it; a
// killed process leaves it empty and the next start removes it. The report is
// written by libpvdump.so (platform/os/pvdump/pvdump.h), loaded by name from the
// program folder and then through the system search; without it a crash only
// prints a message.
//
// Process-wide state, no object. Init, Install and Cleanup run on the main
// thread (at start and at a normal exit) and must not run concurrently with
// each other. OnException runs on the faulting thread and uses only
// async-signal-safe calls. The alternate signal stack belongs to the thread that
// called Install; other threads run the handler on their own stack.
#ifndef PV_CORE_KCRASH_H
#define PV_CORE_KCRASH_H

#include <signal.h>

#include "platform/os/pvdump/pvdump.h"

class CrashHandler {
 public:
  // Resets the state: no report file, no writer library. First thing at start.
  static void Init();

  // Keeps `app_name` (used in file names and messages), removes empty reports
  // from `dump_dir`, creates "<dump_dir>/<app_name>_Dump_NNN.dmp" (first free
  // NNN of 000..999; when all are taken or dump_dir is empty, the fixed name
  // "<app_name>_Dump_  0" in the current folder; else none), installs the
  // handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS and SIGTRAP
  // and loads the writer library. Returns the writer, or null when the library
  // or its entry point is missing (which only shows at crash time). Call after
  // Init, once.
  static pvDumpWriteFn Install(const char* dump_dir, const char* app_name);

  // Writes the report and the message for `signal` (info and context as the
  // kernel gave them to the handler). 1 after a saved report, else 0. The
  // report file is closed either way and stays on disk.
  static int OnException(int signal, siginfo_t* info, void* context);

  // Normal exit: deletes the report file that no crash wrote and unloads the
  // writer library. The signal handler stays installed.
  static void Cleanup();

  // Deletes every empty regular file in `dir` whose name first contains ".dmp"
  // at its end, unless a running instance holds it locked. 1 when the directory
  // could be listed, else 0.
  static int PruneDumps(const char* dir);
};

#endif  // PV_CORE_KCRASH_H

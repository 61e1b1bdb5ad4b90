// The crash-report writer. It lives in its own shared library, libpvdump.so,
// which the crash handler (core/kcrash.h) loads by name at start, so a program
// without it still runs and only loses its crash reports.
//
// pvdump_write runs inside a fatal-signal handler: it uses async-signal-safe
// calls only, allocates nothing and takes no lock. Loading the library prepares
// everything that would otherwise allocate on first use.
#ifndef PV_PLATFORM_OS_PVDUMP_PVDUMP_H
#define PV_PLATFORM_OS_PVDUMP_PVDUMP_H

#include <signal.h>

// File name looked up beside the program, then through the system search.
#define PV_DUMP_LIBRARY_NAME "libpvdump.so"
// Exported name of the writer.
#define PV_DUMP_WRITE_SYMBOL "pvdump_write"

extern "C" {

// Appends a text report of the signal to fd: signal and fault address, process
// and thread, the registers from `context` (a ucontext_t), a backtrace of the
// calling thread and a copy of /proc/self/maps, which places every address.
// info and context may be null. Returns 1 when every byte was written, else 0.
typedef int (*pvDumpWriteFn)(int fd, int signal, const siginfo_t* info, const void* context);

int pvdump_write(int fd, int signal, const siginfo_t* info, const void* context)
    __attribute__((visibility("default")));

}  // extern "C"

#endif  // PV_PLATFORM_OS_PVDUMP_PVDUMP_H

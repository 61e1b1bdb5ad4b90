// Everything here may run in a signal handler after the heap or a lock was
// corrupted: only write/open/read/close/getpid/syscall, no malloc, no stdio.
#include "platform/os/pvdump/pvdump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace {

const int kMaxFrames = 128;

// Buffers output in a fixed array; remembers whether any write failed.
class Writer {
 public:
  explicit Writer(int fd) : fd_(fd) {}

  void Text(const char* s) {
    while (*s) Byte(*s++);
  }
  void Bytes(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) Byte(s[i]);
  }
  void Dec(int64_t v) {
    char digits[24];
    int n = 0;
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      digits[n++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (v < 0) Byte('-');
    while (n) Byte(digits[--n]);
  }
  // Sixteen hex digits, so columns line up.
  void Hex(uint64_t v) {
    static const char kDigits[] = "0123456789abcdef";
    Text("0x");
    for (int shift = 60; shift >= 0; shift -= 4) Byte(kDigits[(v >> shift) & 0xf]);
  }
  void Flush() {
    size_t done = 0;
    while (done < used_) {
      ssize_t n = write(fd_, buf_ + done, used_ - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok_ = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    used_ = 0;
  }
  bool ok() const { return ok_; }

 private:
  void Byte(char c) {
    if (used_ == sizeof(buf_)) Flush();
    buf_[used_++] = c;
  }

  int fd_;
  bool ok_ = true;
  size_t used_ = 0;
  char buf_[4096];
};

const char* SignalName(int sig) {
  switch (sig) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGILL: return "SIGILL";
    case SIGFPE: return "SIGFPE";
    case SIGABRT: return "SIGABRT";
    case SIGSYS: return "SIGSYS";
    case SIGTRAP: return "SIGTRAP";
    default: return "other";
  }
}

void WriteRegisters(Writer& w, const void* context) {
  w.Text("registers\n");
  if (!context) {
    w.Text("none\n");
    return;
  }
  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
  // In the order of the REG_* indexes of <sys/ucontext.h>.
  static const char* const kNames[] = {
      "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "rdi", "rsi", "rbp", "rbx",
      "rdx", "rax", "rcx", "rsp", "rip", "eflags", "csgsfs", "err", "trapno", "oldmask", "cr2"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == NGREG, "one name per register");
  for (int i = 0; i < NGREG; ++i) {
    w.Text(kNames[i]);
    w.Text(" ");
    w.Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]));
    w.Text("\n");
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) {
    w.Text("x");
    w.Dec(i);
    w.Text(" ");
    w.Hex(uc->uc_mcontext.regs[i]);
    w.Text("\n");
  }
  w.Text("sp ");
  w.Hex(uc->uc_mcontext.sp);
  w.Text("\npc ");
  w.Hex(uc->uc_mcontext.pc);
  w.Text("\npstate ");
  w.Hex(uc->uc_mcontext.pstate);
  w.Text("\nfault_address ");
  w.Hex(uc->uc_mcontext.fault_address);
  w.Text("\n");
#else
  (void)uc;
  w.Text("not available on this architecture\n");
#endif
}

// The frames include this library and the handler above the faulting one;
// the memory map below turns each address into a file and offset.
void WriteBacktrace(Writer& w) {
  void* frames[kMaxFrames];
  int n = backtrace(frames, kMaxFrames);
  w.Text("backtrace\n");
  for (int i = 0; i < n; ++i) {
    w.Text("#");
    w.Dec(i);
    w.Text(" ");
    w.Hex(reinterpret_cast<uintptr_t>(frames[i]));
    w.Text("\n");
  }
}

void WriteMemoryMap(Writer& w) {
  w.Text("memory map\n");
  int maps = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) {
    w.Text("unreadable\n");
    return;
  }
  char chunk[4096];
  for (;;) {
    ssize_t n = read(maps, chunk, sizeof(chunk));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    w.Bytes(chunk, static_cast<size_t>(n));
  }
  close(maps);
}

// backtrace() loads the unwinder and allocates on its first call; do that now,
// at load time, so the call in the signal handler does neither.
__attribute__((constructor)) void PrimeBacktrace() {
  void* frames[2];
  backtrace(frames, 2);
}

}  // namespace

extern "C" int pvdump_write(int fd, int sig, const siginfo_t* info, const void* context) {
  if (fd < 0) return 0;
  int saved_errno = errno;
  Writer w(fd);
  w.Text("crash report\nsignal ");
  w.Dec(sig);
  w.Text(" ");
  w.Text(SignalName(sig));
  if (info) {
    w.Text(" code ");
    w.Dec(info->si_code);
    w.Text(" address ");
    w.Hex(reinterpret_cast<uintptr_t>(info->si_addr));
  }
  w.Text("\nprocess ");
  w.Dec(getpid());
  w.Text(" thread ");
  w.Dec(syscall(SYS_gettid));
  w.Text("\n");
  WriteRegisters(w, context);
  WriteBacktrace(w);
  WriteMemoryMap(w);
  w.Flush();
  errno = saved_errno;
  return w.ok() ? 1 : 0;
}

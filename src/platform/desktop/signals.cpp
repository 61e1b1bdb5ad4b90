#include "platform/desktop/signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>

namespace {

struct Target {
  koWindowId window;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

std::atomic<bool> started{false};
Target target;  // written once before the thread starts

void TermSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGTERM);
  sigaddset(set, SIGINT);
}

void* WaitForSignals(void*) {
  sigset_t set;
  TermSet(&set);
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    // A window that is gone is shutting down already: nothing more to ask.
    koPostMessage(target.window, target.message, target.wparam, target.lparam);
  }
  return nullptr;
}

}  // namespace

int koBlockTermSignals() {
  sigset_t set;
  TermSet(&set);
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0 ? 1 : 0;
}

int koPostOnTermSignals(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  if (started.exchange(true)) return 0;
  target = Target{window, message, wparam, lparam};
  // The waiter must not take the signals' delivery away from sigwait.
  sigset_t set;
  TermSet(&set);
  sigset_t old;
  pthread_sigmask(SIG_BLOCK, &set, &old);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int rc = pthread_create(&thread, &attr, WaitForSignals, nullptr);
  pthread_attr_destroy(&attr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    started.store(false);
    return 0;
  }
  return 1;
}

#include "app/sync/mailpreparer.h"

#include "app/sync/callbacks.h"
#include "app/sync/mailmgr.h"
#include "app/sync/mailmgr_internal.h"

MailPreparer::MailPreparer(const char* accountEmail) : accountEmail_(accountEmail) {}

MailPreparer::~MailPreparer() {
  {
    koMutexGuard guard(lock_);
    quit_ = 1;
  }
  work_.Set();
  thread_.Join();
  for (Job& job : jobs_) fs_give(reinterpret_cast<void**>(&job.text));
}

int MailPreparer::Start() {
  return thread_.Create(PR_USER_THREAD, ThreadMain, this, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                        PR_JOINABLE_THREAD, 0);
}

int MailPreparer::HasRoom(unsigned long size) const {
  return pending_.empty() || (pending_.size() < kMaxAhead && pendingBytes_ + size <= kMaxAheadBytes);
}

int MailPreparer::Submit(uint32_t uid, int whole, char* text, unsigned long size) {
  if (!thread_.IsCreated() || text == nullptr || !HasRoom(size)) return 0;
  {
    koMutexGuard guard(lock_);
    jobs_.push_back({uid, whole, text, size});
  }
  pending_.push_back({uid, whole, size});
  pendingBytes_ += size;
  work_.Set();
  return 1;
}

int MailPreparer::IsSubmitted(uint32_t uid, int whole) const {
  for (const Pending& pending : pending_)
    if (pending.uid == uid && pending.whole == whole) return 1;
  return 0;
}

int MailPreparer::Take(uint32_t uid, int whole, Prepared& out, koEvent* stop) {
  if (!IsSubmitted(uid, whole)) return 0;
  for (;;) {
    {
      koMutexGuard guard(lock_);
      while (!done_.empty()) {
        Prepared next = std::move(done_.front());
        done_.pop_front();
        pendingBytes_ -= pending_.front().size;
        pending_.pop_front();
        if (next.uid == uid && next.whole == whole) {
          out = std::move(next);
          return 1;
        }
      }
      ready_.Reset();
    }
    // A stop must not wait for a large message's parse.
    if (!ready_.Wait(100) && stop != nullptr && stop->Wait(0)) return 0;
  }
}

void MailPreparer::ThreadMain(void* self) { static_cast<MailPreparer*>(self)->Run(); }

void MailPreparer::Run() {
  // What the library says while parsing reaches the log, not the account's
  // status: the mail thread reports on the mail it stores.
  SetMailStatusQuiet(1);
  for (;;) {
    Job job{0, 0, nullptr, 0};
    {
      koMutexGuard guard(lock_);
      if (quit_) return;
      if (jobs_.empty()) {
        work_.Reset();
      } else {
        job = jobs_.front();
        jobs_.pop_front();
      }
    }
    if (job.text == nullptr) {
      work_.Wait(-1);
      continue;
    }
    Prepared prepared;
    Prepare(job, accountEmail_, prepared);
    fs_give(reinterpret_cast<void**>(&job.text));
    {
      koMutexGuard guard(lock_);
      done_.push_back(std::move(prepared));
    }
    ready_.Set();
  }
}

void MailPreparer::Prepare(const Job& job, const koString& accountEmail, Prepared& out) {
  out.uid = job.uid;
  out.whole = job.whole;
  const uint32_t length = static_cast<uint32_t>(job.size);
  out.undelivered = IsUndeliveredMessage(job.text, length, &out.noDeliveredTo);
  if (out.undelivered) return;
  out.message = std::make_unique<MailMessage>();
  out.message->SetAccountEmail(accountEmail.GetString());
  out.message->Parse(job.text, length, out.noDeliveredTo);
}

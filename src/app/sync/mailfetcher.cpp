#include "app/sync/mailfetcher.h"

#include <algorithm>

#include "app/sync/callbacks.h"
#include "app/sync/mailext.h"
#include "app/sync/mailmgr.h"
#include "app/sync/mailmgr_internal.h"

MailFetcher::MailFetcher(const char* mailbox, const koString& password) : mailbox_(mailbox) {
  password_.SetAs(password);
}

MailFetcher::~MailFetcher() {
  {
    koMutexGuard guard(lock_);
    quit_ = 1;
  }
  work_.Set();
  thread_.Join();
  FreeTexts(texts_);
  WipeSecret(password_);
}

int MailFetcher::Start() {
  if (thread_.Create(PR_USER_THREAD, ThreadMain, this, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD, PR_JOINABLE_THREAD, 0))
    return 1;
  // No thread would ever answer a request.
  koMutexGuard guard(lock_);
  failed_ = 1;
  return 0;
}

int MailFetcher::Request(uint32_t lo, uint32_t hi, int whole) {
  if (requested_ || lo == 0 || hi < lo) return 0;
  {
    koMutexGuard guard(lock_);
    if (failed_) return 0;
    lo_ = lo;
    hi_ = hi;
    whole_ = whole;
  }
  requested_ = 1;
  work_.Set();
  return 1;
}

int MailFetcher::Take(std::vector<Text>& out, koEvent* stop) {
  out.clear();
  if (!requested_) return 0;
  // A stop must not wait for a large stretch on a slow line.
  while (!done_.Wait(100))
    if (stop != nullptr && stop->Wait(0)) return 0;
  done_.Reset();
  requested_ = 0;
  koMutexGuard guard(lock_);
  out.swap(texts_);
  return 1;
}

int MailFetcher::IsFailed() {
  koMutexGuard guard(lock_);
  return failed_;
}

void MailFetcher::FreeTexts(std::vector<Text>& texts) {
  for (Text& text : texts)
    if (text.data != nullptr) fs_give(reinterpret_cast<void**>(&text.data));
  texts.clear();
}

void MailFetcher::ThreadMain(void* self) { static_cast<MailFetcher*>(self)->Run(); }

void MailFetcher::Run() {
  SetMailStatusQuiet(1);
  SetMailLoginPassword(password_);
  MAILSTREAM* stream = mail_open(NIL, const_cast<char*>(mailbox_.GetString()), OP_READONLY);
  ClearMailLoginPassword();
  WipeSecret(password_);
  if (stream == nullptr) KO_LOG(-1, "The second connection, which fetches mail ahead, could not open the folder");
  for (;;) {
    work_.Wait(-1);
    uint32_t lo, hi;
    int whole;
    {
      koMutexGuard guard(lock_);
      if (quit_) break;
      work_.Reset();
      lo = lo_;
      hi = hi_;
      whole = whole_;
    }
    // What came before a refusal or a broken connection is good; only a
    // connection that is gone ends the fetching ahead.
    std::vector<Text> texts;
    int ok = stream != nullptr && Fetch(stream, lo, hi, whole, texts);
    int lost = !ok && (stream == nullptr || !mail_ping(stream));
    if (!ok && stream != nullptr) MAILMGR_LOGF("Fetching mail ahead failed[MailUid: %u:%u]", lo, hi);
    {
      koMutexGuard guard(lock_);
      texts_.swap(texts);
      if (lost) failed_ = 1;
    }
    done_.Set();
  }
  if (stream != nullptr) mail_close(stream);
}

int MailFetcher::Fetch(MAILSTREAM* stream, uint32_t lo, uint32_t hi, int whole, std::vector<Text>& out) {
  koString set;
  set.Format("%u:%u", lo, hi);
  long ok = imap_fetch_texts(stream, set.GetString(), FetchItem(whole), FT_UID);
  if (stream->nmsgs == 0) return 0;
  // Only the messages the answer named have an element, each with its UID:
  // looking at the elements that exist costs no UID look-up (which would
  // make elements for a thousand messages on) and no round trip.
  mailcache_t cache = reinterpret_cast<mailcache_t>(mail_parameters(NIL, GET_CACHE, NIL));
  for (unsigned long n = 1; n <= stream->nmsgs; ++n) {
    MESSAGECACHE* elt = static_cast<MESSAGECACHE*>((*cache)(stream, n, CH_ELT));
    if (elt == nullptr) continue;
    uint32_t uid = static_cast<uint32_t>(elt->cclientPrivate.uid);
    SIZEDTEXT* text = CachedText(stream, n, whole);
    if (text->data != nullptr && uid >= lo && uid <= hi) {
      out.push_back({uid, reinterpret_cast<char*>(text->data), text->size});
      text->data = nullptr;
      text->size = 0;
    }
    // Nothing of a message stays with this stream: its element would
    // otherwise stay for the rest of the walk, one per message of the folder.
    mail_gc_msg(&elt->cclientPrivate.msg, GC_TEXTS | GC_ENV);
    if (elt->lockcount == 1) (*cache)(stream, n, CH_FREE);
  }
  // The answer's order is the server's.
  std::sort(out.begin(), out.end(), [](const Text& a, const Text& b) { return a.uid < b.uid; });
  return ok ? 1 : 0;
}

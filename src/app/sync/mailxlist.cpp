// The XLIST command, beside the library's IMAP driver.
//
// The library sends the command (imap_send is exported, though no installed
// header declares it) but does not know the untagged XLIST reply. Those
// replies are taken out of the reply stream by the TLS driver while the
// command runs on the same thread, handed to mm_xlist and never reach the
// library, which would only report them as unexpected.
#include <cstring>

#include "app/sync/mailext.h"
#include "core/kstring.h"

extern "C" {
#include <c-client/c-client.h>
#include <c-client/linkage.h>

// The library's command argument and parsed reply, as imap_send takes and
// returns them; the header that declares them is not installed.
struct ImapArgument {
  int type;
  void* text;
};
struct ImapParsedReply {
  unsigned char* line;
  unsigned char* tag;
  unsigned char* key;
  unsigned char* text;
};
ImapParsedReply* imap_send(MAILSTREAM* stream, char* cmd, ImapArgument* args[]);
long imap_OK(MAILSTREAM* stream, ImapParsedReply* reply);
}

namespace {

// Argument kinds of imap_send.
constexpr int kArgAtom = 0;
constexpr int kArgAstring = 3;
constexpr int kArgSequence = 11;
constexpr int kArgListMailbox = 12;

// The stream whose XLIST command runs on this thread, or null.
thread_local MAILSTREAM* tXlistStream = nullptr;

// Keeps tXlistStream set while the command runs.
class XlistScope {
 public:
  explicit XlistScope(MAILSTREAM* stream) : previous_(tXlistStream) { tXlistStream = stream; }
  ~XlistScope() { tXlistStream = previous_; }
  XlistScope(const XlistScope&) = delete;
  XlistScope& operator=(const XlistScope&) = delete;

 private:
  MAILSTREAM* previous_;
};

}  // namespace

int XlistTakeLine(const char* line) {
  if (tXlistStream == nullptr) return 0;
  // The keyword is matched exactly: the provider writes it in capitals, and
  // anything else is left to the library.
  static const char kPrefix[] = "* XLIST ";
  if (strncmp(line, kPrefix, sizeof(kPrefix) - 1) != 0) return 0;
  const char* text = line + sizeof(kPrefix) - 1;
  if (*text == '\0') return 0;
  // A name sent as a literal goes on past this line; such a reply is left
  // whole to the library rather than cut in two.
  size_t length = strlen(text);
  if (text[length - 1] == '}') return 0;
  koString copy(text);
  mm_xlist(tXlistStream, const_cast<char*>(copy.GetString()));
  return 1;
}

extern "C" long imap_xlist(MAILSTREAM* stream) {
  ImapArgument reference = {kArgAstring, const_cast<char*>("")};
  ImapArgument pattern = {kArgListMailbox, const_cast<char*>("%/%")};
  ImapArgument* args[] = {&reference, &pattern, nullptr};
  ImapParsedReply* reply;
  {
    XlistScope scope(stream);
    reply = imap_send(stream, const_cast<char*>("XLIST"), args);
  }
  if (imap_OK(stream, reply)) return T;
  mm_log(reply->text ? reinterpret_cast<char*>(reply->text) : const_cast<char*>(""), NIL);
  return NIL;
}

extern "C" long mail_xlist(MAILSTREAM* stream) {
  // Only IMAP knows XLIST. A stream that lost its connection state (after
  // the server said BYE) cannot take a command.
  if (stream == nullptr || stream->dtb == nullptr || stream->local == nullptr) return NIL;
  if (stream->dtb != &imapdriver) return NIL;
  return imap_xlist(stream);
}

extern "C" long imap_fetch_texts(MAILSTREAM* stream, const char* sequence, const char* item, long flags) {
  if (stream == nullptr || stream->dtb != &imapdriver || stream->local == nullptr) return NIL;
  ImapArgument set = {kArgSequence, const_cast<char*>(sequence)};
  ImapArgument attribute = {kArgAtom, const_cast<char*>(item)};
  ImapArgument* args[] = {&set, &attribute, nullptr};
  const char* command = (flags & FT_UID) ? "UID FETCH" : "FETCH";
  return imap_OK(stream, imap_send(stream, const_cast<char*>(command), args));
}

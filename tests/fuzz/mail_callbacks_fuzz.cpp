// Fuzz target: server text that reaches the mail library's callbacks. The
// input (up to its first zero byte) is an untagged XLIST reply for
// ParseXlistReply and mm_xlist, a warning or error for mm_log and
// mm_notify, and a mailbox's user field for the login name. What must hold:
// a special folder named in a well-formed reply reads back exactly, with its
// kind; a reply names at most what it holds; the last message is the text
// the server sent; a login name has at most one '@'.
#include <string>

#include "app/sync/callbacks.h"
#include "app/sync/mailext.h"
#include "fuzz_support.h"

extern "C" {
#include <c-client/c-client.h>
}

using pvfuzz::Check;

namespace {

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string text = input.substr(0, input.find('\0'));

  koString name;
  int kind = 0;
  if (ParseXlistReply(text.c_str(), name, &kind)) {
    Check(kind == kFolderAllMail || kind == kFolderSpam || kind == kFolderTrash, "a special kind", text);
    Check(name.GetLength() < text.size(), "the name lies inside the reply", text);
  }
  std::string copy = text;
  mm_xlist(nullptr, &copy[0]);

  // The provider's reply for a special folder of any name.
  static const struct {
    const char* attributes;
    int kind;
  } kReplies[] = {{"(\\HasNoChildren \\AllMail)", kFolderAllMail},
                  {"(\\HasNoChildren \\Spam)", kFolderSpam},
                  {"(\\HasNoChildren \\Trash)", kFolderTrash}};
  const auto& reply = kReplies[size % 3];
  std::string built = std::string(reply.attributes) + " \"/\" " + Quoted(text);
  // A folder always has a name; an empty one is refused.
  if (!text.empty()) {
    Check(ParseXlistReply(built.c_str(), name, &kind) == 1 && kind == reply.kind, "a special folder is found",
          built);
    Check(std::string(name.GetString(), name.GetLength()) == text, "its name reads back",
          built + " -> " + name.GetString());
  }

  for (long level : {static_cast<long>(WARN), static_cast<long>(ERROR), static_cast<long>(PARSE), 0L}) {
    ClearLastMailMessage();
    copy = text;
    mm_log(&copy[0], level);
    koString last;
    GetLastMailMessage(last);
    if (level == WARN || level == ERROR)
      Check(text == last.GetString(), "the last message is the server's text", text);
    else
      Check(last.GetLength() == 0, "other levels leave no message", text);
  }
  copy = text;
  mm_notify(nullptr, &copy[0], ERROR);
  copy = text;
  mm_notify(nullptr, &copy[0], WARN);

  koString user;
  MailLoginUserName(text.c_str(), user);
  const char* at = strchr(user.GetString(), '@');
  Check(at == nullptr || strchr(at + 1, '@') == nullptr, "at most one @", text);
  Check(user.GetLength() <= text.size(), "the login name comes from the field", text);
  return 0;
}

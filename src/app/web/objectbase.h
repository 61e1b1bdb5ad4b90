// ObjectBase: the base of every request handler of the web service.
//
// A handler lives on its factory's stack for one request (RunObjectFactory
// below): it runs the request's action, filling the body and perhaps a
// redirect address, and SendResponse then writes the whole answer.
//
// Ownership: the connection is borrowed from the connection thread and
// outlives the handler; every string member is the handler's own.
// Thread-safety: a handler belongs to the one request thread that made it.
// The account operations read copies that ConfigMgr hands out under its own
// read lock; nothing here locks by itself.
#ifndef PV_APP_WEB_OBJECTBASE_H
#define PV_APP_WEB_OBJECTBASE_H

#include "core/khttpconnection.h"
#include "core/kstring.h"

struct AccountInfo;

class ObjectBase {
 public:
  // Every buffer starts with this much room, so a typical JSON answer is
  // built without the body growing.
  static constexpr uint32_t kBufferCapacity = 64 * 1024;

  // What SendResponse writes as Content-Type.
  enum { kContentHtml = 0, kContentPlain = 1 };

  ObjectBase(koHttpConnection* connection, int argument);
  virtual ~ObjectBase();
  ObjectBase(const ObjectBase&) = delete;
  ObjectBase& operator=(const ObjectBase&) = delete;

  // Writes the answer: the redirect when an address is set, else the 200
  // header block (Content-Length only for GET: a POST answer is read up to
  // the close) and the body.
  virtual void SendResponse();

  // The answer becomes "302 Found" to address. Always 1.
  int SetRedirect(const char* address);
  // kContentHtml (default), kContentPlain; any other value: no Content-Type.
  void SetContentKind(int kind) { content_kind_ = kind; }

  // Account JSON, shared by the account and file-list handlers. They read
  // copies from gConfigMgr (its read lock, briefly).
  //
  // out (OUT) = "[" + the account with id accountId, or every account in list
  // order when accountId is 0, joined by "," + "]". An id that does not exist
  // gives "[]"; an account removed while the list is read is left out. 0
  // only when there is no configuration object.
  int GetAccountsJson(koString& out, int accountId, int brief);
  // Appends the account at list position index; IsPrimary marks the account
  // the pages are narrowed to (preference context_type). 0 when there is no
  // account at that position.
  int AppendAccountJsonByIndex(int index, koString& out, int brief);
  // Appends one account object: the brief form (id, address, download
  // options, IsPrimary) or the full one, which adds statuses, progress and
  // update times. Times are written in milliseconds.
  static void AppendAccountJson(koString& out, const AccountInfo& account, int filterAccountId,
                                int brief);
  // out += format with `text` JSON-escaped as its one %s.
  static void AppendJsonText(koString& out, const char* format, const char* text);
  // Percent of the account's indexing done, attachments counting twice.
  static int IndexingValue(const AccountInfo& account);

 protected:
  koString response_;
  koHttpConnection* connection_;  // not owned
  int argument_;
  // For the handlers' own use.
  koString buffer1_;
  koString buffer2_;
  koString buffer3_;
  koString buffer4_;
  koString buffer5_;
  int content_kind_ = kContentHtml;
  koString redirect_;
};

// The factory of a route-table row: builds the handler on this stack, runs
// the request's `_action` (empty when missing) and sends the answer.
// Handler derives from ObjectBase and provides
//   Handler(koHttpConnection* connection, int argument);
//   void RunAction(const koString& action);  // the action switch
// whose unknown actions answer as the handler's own rules say (most with
// SetRedirect("/index.html")). Always 1.
template <class Handler>
int RunObjectFactory(koHttpConnection* connection, int argument) {
  Handler handler(connection, argument);
  const koString* action = connection->GetParameter("_action");
  handler.RunAction(*action);
  handler.SendResponse();
  return 1;
}

#endif  // PV_APP_WEB_OBJECTBASE_H

// GDataClient: the contacts service's client for one account: ClientLogin
// sign-in, the contacts and groups Atom feeds, photos, and the creation and
// update of single entries.
//
// The hosts come from the ini file (Contacts_Login_Host for the HTTPS
// sign-in, Contacts_Feed_Host for the plain-HTTP feeds), read once by the
// constructor; the proxy record is copied from gConfigMgr (under its data
// lock) before every request. Each operation answers 1 on success and 0 on
// failure and leaves the reason in the last error text; the client never
// logs and never writes to the database: callers log and store what it
// reports.
//
// Ownership: the client owns its HTTP client and the text of the last feed
// read, held until the next feed read, ReleaseFeed or its destruction.
// GetEntry parses one entry from that text into the caller's Contact, which
// then owns it.
//
// Not thread-safe: one client belongs to one thread for its whole life.
#ifndef PV_APP_SYNC_GDATACLIENT_H
#define PV_APP_SYNC_GDATACLIENT_H

#include <cstdint>
#include <vector>

#include "core/kstring.h"

class Contact;
class TiXmlDocument;
class koCurl;

class GDataClient {
 public:
  // Copies the account's address and password; no token, no feed.
  GDataClient(const char* email, const char* password);
  ~GDataClient();
  GDataClient(const GDataClient&) = delete;
  GDataClient& operator=(const GDataClient&) = delete;

  // ClientLogin. On success the token is set; on failure the last error is
  // the service's "Error=" text (at most 255 bytes) or its whole answer.
  int Login();
  // A token from elsewhere (the account's cached one); the next requests
  // carry it.
  void SetAuthToken(const char* token);
  void GetAuthToken(koString& out) const;
  // Hands `from`'s token to `to` (the groups client reuses a sign-in).
  static void CopyAuthToken(const GDataClient& from, GDataClient& to);

  // GET of the contacts or groups feed; modifiedTime null or empty reads
  // everything, else only what changed since (deleted entries included).
  // 0 when the transfer failed or the answer is an HTML error page or no
  // XML; 1 otherwise, with *isFeed (OUT) 1 only when the answer is a feed
  // (with 0 the answer is the last error).
  int FetchContacts(const char* modifiedTime, int* isFeed);
  int FetchGroups(const char* modifiedTime, int* isFeed);

  // Entries of the last feed: the smaller of its openSearch:totalResults and
  // the entries present (the entries present when it gives no total); -1
  // while the client holds no feed.
  int GetEntryCount() const;
  // 1 when the last feed holds exactly the entries its
  // openSearch:totalResults reports (or it reports none); 0 for a feed cut
  // short or otherwise inconsistent, or no feed.
  int IsFeedComplete() const;
  // Loads entry `index` (from 0, in document order) into `out`. 0 when
  // there is no such entry.
  int GetEntry(int index, Contact& out) const;
  // Drops the last feed, its text and its count (-1 again).
  void ReleaseFeed();
  // The feed's own <updated> text ("" when it has none).
  void GetUpdated(koString& out) const;

  // id (OUT) of the system group "Contacts", read from the whole groups feed.
  // 0 without a new error text when the feed has no such group.
  int GetMyContactsGroupId(koString& id);
  // Plain GET with the service's headers; body (OUT) is the answer as sent.
  int Get(const char* url, koString& body);
  // GET of a photo link; bytes and *count (OUT) are the answer. An empty
  // answer is success with count 0 and the last error "Photo not found".
  int GetPhoto(const char* url, koString& bytes, uint32_t* count);
  // POST of a new entry's XML text. 1 whenever the transfer succeeded; answer
  // (OUT) is the created entry, or empty (reason in the last error) when the
  // service answered an error page.
  int CreateContact(const char* entry, koString& answer);
  // Replaces the entry at its edit link with `contact`'s document. 0 when the
  // transfer failed or the service answered an error page.
  int UpdateContact(const char* editUrl, const Contact& contact, koString& answer);

  void GetLastError(koString& out) const;
  // The second heading of the last HTML error page, or "-1".
  void GetErrorDetail(koString& out) const;
  // Whether the last feed answer contains `text`, ignoring ASCII case.
  int ResponseContains(const char* text) const;

 private:
  enum RequestKind { kSignIn, kRead, kCreate, kUpdate };

  // Resets the HTTP client and adds the kind's headers and the proxy. 0 with
  // the last error set when the client cannot be prepared.
  int Prepare(RequestKind kind);
  void SetupCurlProxy();
  // Prepare, then one transfer; 0 with the HTTP client's text as last error.
  int Perform(RequestKind kind, const char* url, const char* method, const char* body, int length);
  // Perform, then ParseAccepted of the answer (copied into `answer`): 0 when
  // the transfer failed, else 1 with *doc (OUT) null when the answer was
  // refused.
  int Exchange(RequestKind kind, const char* url, const char* method, const char* body, int length,
               koString& answer, TiXmlDocument** doc);
  // Parses `text`; refuses (null, last error and detail set) what is no XML
  // or an HTML error page. Otherwise the parsed document, owned by the caller.
  TiXmlDocument* ParseAccepted(const koString& text);
  int FetchFeed(const char* kind, const char* modifiedTime, int* isFeed);
  // Finds the entries, the updated text and the count of the answer held in
  // response_: 1 for a feed, 0 for one that does not parse, -1 when the root
  // is no feed.
  int ParseFeed();
  void FeedUrl(const char* kind, koString& out) const;
  void SetToken(const char* token);

  koString email_;
  koString password_;
  koString response_;  // the last feed answer, moved out of curl_
  koCurl* curl_;       // owned
  koString token_;
  koString authHeader_;
  koString lastError_;
  koString errorDetail_;
  struct Span {
    uint32_t begin;   // offset of the entry's "<" in response_
    uint32_t length;  // through its closing ">"
  };
  std::vector<Span> entries_;  // in document order
  koString updated_;
  int entryCount_ = -1;
  int feedComplete_ = 0;
  koString loginHost_;
  koString feedHost_;
};

#endif  // PV_APP_SYNC_GDATACLIENT_H

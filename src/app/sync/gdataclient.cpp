#include "app/sync/gdataclient.h"

#include <tinyxml.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "app/store/commonhelper.h"
#include "app/store/configmgr.h"
#include "app/store/contact.h"
#include "core/kcurl.h"

namespace {

const char kLoginPath[] = "/accounts/ClientLogin";
const char kFeedQuery[] = "?orderby=lastmodified&sortorder=descending&max-results=20000";
const char kAuthHeader[] = "Authorization: GoogleLogin auth=%s";
const int kMaxLoginError = 255;

// Names and values of a form are escaped alike.
void AppendFormField(koString& form, const char* name, const char* value) {
  koString n(name), v(value != nullptr ? value : "");
  n.UrlEncode(0);
  v.UrlEncode(0);
  form += n;
  form += "=";
  form += v;
}

void ChildText(const TiXmlElement* parent, const char* name, koString& out) {
  out.Clear();
  const TiXmlElement* e = parent != nullptr ? parent->FirstChildElement(name) : nullptr;
  const char* text = e != nullptr ? e->GetText() : nullptr;
  if (text != nullptr) out.SetAs(text);
}

bool StartsWith(const char* p, const char* prefix) { return strncmp(p, prefix, strlen(prefix)) == 0; }

bool IsNameEnd(char c) { return c == 0 || c == '>' || c == '/' || isspace(static_cast<unsigned char>(c)); }

// Past the declaration, comments and a document type: the root element's
// "<", or null when the text holds none.
const char* RootStart(const char* p) {
  if (StartsWith(p, "\xEF\xBB\xBF")) p += 3;
  for (;;) {
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    if (*p != '<') return nullptr;
    const char* end = nullptr;
    if (StartsWith(p, "<?")) {
      end = strstr(p, "?>");
      if (end != nullptr) end += 2;
    } else if (StartsWith(p, "<!--")) {
      end = strstr(p, "-->");
      if (end != nullptr) end += 3;
    } else if (StartsWith(p, "<!")) {
      end = strchr(p, '>');
      if (end != nullptr) end += 1;
    } else {
      return p;
    }
    if (end == nullptr) return nullptr;
    p = end;
  }
}

// Past the start tag that begins at p (its ">"), quoted values skipped;
// *empty tells "/>". Null when the tag does not end.
const char* PastStartTag(const char* p, int* empty) {
  char quote = 0;
  for (; *p != 0; ++p) {
    if (quote != 0) {
      if (*p == quote) quote = 0;
    } else if (*p == '"' || *p == '\'') {
      quote = *p;
    } else if (*p == '>') {
      *empty = p[-1] == '/';
      return p + 1;
    }
  }
  return nullptr;
}

}  // namespace

GDataClient::GDataClient(const char* email, const char* password)
    : email_(email != nullptr ? email : ""),
      password_(password != nullptr ? password : ""),
      curl_(new koCurl()) {
  ConfigMgr::GetContactsLoginHost(loginHost_);
  ConfigMgr::GetContactsFeedHost(feedHost_);
  errorDetail_.SetAs("-1");
}

GDataClient::~GDataClient() {
  ReleaseFeed();
  delete curl_;
}

void GDataClient::SetToken(const char* token) {
  // A cached token is as unsafe in a header line as the service's answer.
  const char* text = token != nullptr ? token : "";
  token_.SetAs(text, static_cast<int>(strcspn(text, "\r\n")));
  authHeader_.Clear();
  if (token_.GetLength() > 0) authHeader_.Format(kAuthHeader, token_.GetString());
}

void GDataClient::SetAuthToken(const char* token) { SetToken(token); }

void GDataClient::GetAuthToken(koString& out) const { out.SetAs(token_); }

void GDataClient::CopyAuthToken(const GDataClient& from, GDataClient& to) {
  to.SetToken(from.token_.GetString());
}

void GDataClient::GetLastError(koString& out) const { out.SetAs(lastError_); }

void GDataClient::GetErrorDetail(koString& out) const { out.SetAs(errorDetail_); }

int GDataClient::ResponseContains(const char* text) const {
  return text != nullptr && response_.FindNoCase(text, 0) >= 0 ? 1 : 0;
}

void GDataClient::SetupCurlProxy() {
  ProxySettings proxy;
  if (gConfigMgr != nullptr) gConfigMgr->GetProxySettings(proxy);
  koString address;
  int socks = 0;
  switch (proxy.type) {
    case 2:
    case 3:
      address.Format("%s:%d", proxy.host.GetString(), proxy.port);
      socks = proxy.type == 3;
      break;
    case 4: {
      koString url;
      url.Format("https://%s%s", loginHost_.GetString(), kLoginPath);
      int found = 0;
      GetProxySettingsAuto(url.GetString(), &found, address);
      if (!found) address.Clear();
      break;
    }
    default:
      break;
  }
  // An empty proxy also keeps libcurl from taking one from the environment:
  // "direct" means direct, as it does for the mail connection.
  curl_->SetProxy(address.GetString(), socks);
  if (address.GetLength() > 0 && proxy.secure != 0) {
    koString credentials;
    credentials.Format("%s:%s", proxy.user.GetString(), proxy.password.GetString());
    curl_->SetProxyUserPwd(credentials.GetString());
  }
}

int GDataClient::Prepare(RequestKind kind) {
  int rc = curl_->Reset();
  if (rc != 0) {
    curl_->GetErrorText(lastError_);
    if (lastError_.GetLength() == 0) lastError_.Format("HTTP client not ready (code %d)", rc);
    return 0;
  }
  if (kind != kSignIn) {
    // No token: no Authorization line at all rather than an empty one.
    if (authHeader_.GetLength() > 0) curl_->AddHeader(authHeader_.GetString());
    curl_->AddHeader("GData-Version: 3.0");
    if (kind == kCreate || kind == kUpdate) curl_->AddHeader("Content-Type: application/atom+xml");
    if (kind == kUpdate) curl_->AddHeader("X-HTTP-Method-Override: PUT");
  }
  SetupCurlProxy();
  return 1;
}

int GDataClient::Perform(RequestKind kind, const char* url, const char* method, const char* body,
                         int length) {
  if (!Prepare(kind)) return 0;
  if (curl_->Request(url, method, body, length)) return 1;
  curl_->GetErrorText(lastError_);
  // An empty text would read as "no problem" wherever it is shown.
  if (lastError_.GetLength() == 0) lastError_.SetAs("HTTP request failed");
  return 0;
}

int GDataClient::Exchange(RequestKind kind, const char* url, const char* method, const char* body,
                          int length, koString& answer, TiXmlDocument** doc) {
  *doc = nullptr;
  if (!Perform(kind, url, method, body, length)) return 0;
  curl_->GetResponse(answer);
  *doc = ParseAccepted(answer);
  return 1;
}

int GDataClient::Login() {
  SetToken("");
  lastError_.Clear();

  const char* const fields[][2] = {{"accountType", "HOSTED_OR_GOOGLE"},
                                   {"Email", email_.GetString()},
                                   {"Passwd", password_.GetString()},
                                   {"source", "Curl-PV-Example"},
                                   {"service", "cp"}};
  koString form;
  for (const auto& field : fields) {
    if (form.GetLength() > 0) form += "&";
    AppendFormField(form, field[0], field[1]);
  }
  koString url;
  url.Format("https://%s%s", loginHost_.GetString(), kLoginPath);
  if (!Perform(kSignIn, url.GetString(), "POST", form.GetString(), -1)) return 0;

  koString answer;
  curl_->GetResponse(answer);
  int at = answer.Find("Auth=");
  if (at >= 0) {
    // Only the rest of that line: what follows it is no part of the token,
    // and a line break inside the header line would start a header of its own.
    const char* token = answer.GetString() + at + 5;
    koString line;
    line.SetAs(token, static_cast<int>(strcspn(token, "\r\n")));
    line.Trim();
    SetToken(line.GetString());
    if (token_.GetLength() > 0) return 1;
  }

  int from = answer.FindNoCase("Error=", 0);
  if (from >= 0) {
    const char* text = answer.GetString() + from + 6;
    const char* end = strchr(text, '\n');
    int n = end != nullptr ? static_cast<int>(end - text) : static_cast<int>(strlen(text));
    lastError_.SetAs(text, n);
  }
  if (lastError_.GetLength() == 0) lastError_.SetAs(answer);
  if (lastError_.GetLength() > kMaxLoginError)
    lastError_.RemoveLast(lastError_.GetLength() - kMaxLoginError);
  return 0;
}

TiXmlDocument* GDataClient::ParseAccepted(const koString& text) {
  TiXmlDocument* doc = new (std::nothrow) TiXmlDocument();
  if (doc == nullptr) {
    lastError_.SetAs("TiXmlDocument failed");
    return nullptr;
  }
  doc->Parse(text.GetString(), nullptr, TIXML_ENCODING_UTF8);
  const TiXmlElement* root = doc->Error() ? nullptr : doc->RootElement();
  if (root == nullptr) {
    lastError_.SetAs(text);
    errorDetail_.SetAs("-1");
    delete doc;
    return nullptr;
  }
  if (strcmp(root->Value(), "HTML") != 0) return doc;

  // A page without its first heading still fails with a text of its own,
  // never with whatever an earlier request left.
  const TiXmlElement* body = root->FirstChildElement("BODY");
  errorDetail_.SetAs("-1");
  if (body != nullptr && body->FirstChildElement("H1") != nullptr) {
    ChildText(body, "H1", lastError_);
    if (body->FirstChildElement("H2") != nullptr) ChildText(body, "H2", errorDetail_);
  } else {
    lastError_.SetAs(text);
  }
  delete doc;
  return nullptr;
}

void GDataClient::ReleaseFeed() {
  // Replaced, not cleared: the text's buffer goes too.
  response_ = koString();
  std::vector<Span>().swap(entries_);
  updated_.Clear();
  entryCount_ = -1;
  feedComplete_ = 0;
}

int GDataClient::ParseFeed() {
  // One answer may hold tens of thousands of entries, and a parsed entry
  // weighs several times its text: the feed is walked once for the places
  // of its entries, each parsed and dropped at once, and GetEntry parses
  // the one asked for from the text again.
  const char* text = response_.GetString();
  const char* p = RootStart(text);
  if (p == nullptr || !StartsWith(p, "<feed") || !IsNameEnd(p[5])) return -1;
  int empty = 0;
  p = PastStartTag(p, &empty);
  if (p == nullptr) return 0;
  koString total;
  bool haveUpdated = false, haveTotal = false;
  while (!empty) {
    // Character data beside the entries means nothing here.
    while (*p != 0 && *p != '<') ++p;
    const char* end = nullptr;
    if (*p == 0) {
      return 0;
    } else if (StartsWith(p, "</")) {
      if (!StartsWith(p + 2, "feed")) return 0;
      end = p + 6;
      while (isspace(static_cast<unsigned char>(*end))) ++end;
      if (*end != '>') return 0;
      break;
    } else if (StartsWith(p, "<!--") || StartsWith(p, "<![CDATA[") || StartsWith(p, "<?")) {
      const char* close = p[1] == '?' ? "?>" : p[2] == '-' ? "-->" : "]]>";
      end = strstr(p, close);
      if (end == nullptr) return 0;
      end += strlen(close);
    } else {
      // The XML library asserts on a "<" with nothing but blanks after it.
      const char* after = p + 1;
      while (isspace(static_cast<unsigned char>(*after))) ++after;
      if (*after == 0) return 0;
      TiXmlElement child("");
      end = child.Parse(p, nullptr, TIXML_ENCODING_UTF8);
      if (end == nullptr) return 0;
      const char* name = child.Value();
      if (strcmp(name, "entry") == 0) {
        entries_.push_back({static_cast<uint32_t>(p - text), static_cast<uint32_t>(end - p)});
      } else if (!haveUpdated && strcmp(name, "updated") == 0) {
        haveUpdated = true;
        if (child.GetText() != nullptr) updated_.SetAs(child.GetText());
      } else if (!haveTotal && strcmp(name, "openSearch:totalResults") == 0) {
        haveTotal = true;
        if (child.GetText() != nullptr) total.SetAs(child.GetText());
      }
    }
    p = end;
  }
  // The service's total may exceed what one answer holds (it is cut at
  // max-results); only entries present can be read.
  int present = static_cast<int>(entries_.size());
  entryCount_ = present;
  feedComplete_ = 1;
  if (total.GetLength() > 0) {
    long reported = strtol(total.GetString(), nullptr, 10);
    if (reported < 0) reported = 0;
    if (reported < present) entryCount_ = static_cast<int>(reported);
    // A total that disagrees with the entries: some were left out.
    if (reported != present) {
      feedComplete_ = 0;
      lastError_.Format("Contacts feed cut short: %d of %ld entries", present, reported);
    }
  }
  return 1;
}

void GDataClient::FeedUrl(const char* kind, koString& out) const {
  out.Format("http://%s/m8/feeds/%s/%s/full", feedHost_.GetString(), kind, email_.GetString());
}

int GDataClient::FetchFeed(const char* kind, const char* modifiedTime, int* isFeed) {
  *isFeed = 0;
  koString url;
  FeedUrl(kind, url);
  url += kFeedQuery;
  if (modifiedTime != nullptr && *modifiedTime != 0) {
    url += "&";
    url += "showdeleted=true";
    url += "&";
    AppendFormField(url, "updated-min", modifiedTime);
  }
  if (!Perform(kRead, url.GetString(), "GET", nullptr, -1)) return 0;
  ReleaseFeed();
  curl_->TakeResponse(response_);
  int parsed = ParseFeed();
  if (parsed == 1) {
    *isFeed = 1;
    return 1;
  }
  entries_.clear();
  updated_.Clear();
  entryCount_ = -1;
  feedComplete_ = 0;
  if (parsed == 0) {
    // A feed that does not parse is refused like any answer that is no XML.
    lastError_.SetAs(response_);
    errorDetail_.SetAs("-1");
    return 0;
  }
  // Another root: an error page is refused, any other answer is no feed.
  TiXmlDocument* doc = ParseAccepted(response_);
  if (doc == nullptr) return 0;
  delete doc;
  lastError_.SetAs(response_);
  return 1;
}

int GDataClient::FetchContacts(const char* modifiedTime, int* isFeed) {
  return FetchFeed("contacts", modifiedTime, isFeed);
}

int GDataClient::FetchGroups(const char* modifiedTime, int* isFeed) {
  return FetchFeed("groups", modifiedTime, isFeed);
}

int GDataClient::GetEntryCount() const { return entryCount_; }

int GDataClient::IsFeedComplete() const { return feedComplete_; }

int GDataClient::GetEntry(int index, Contact& out) const {
  if (index < 0 || index >= entryCount_) return 0;
  const Span& span = entries_[index];
  koString text;
  text.SetAs(response_.GetString() + span.begin, static_cast<int>(span.length));
  return out.Load(text);
}

void GDataClient::GetUpdated(koString& out) const { out.SetAs(updated_); }

int GDataClient::GetMyContactsGroupId(koString& id) {
  id.Clear();
  koString url;
  FeedUrl("groups", url);
  koString answer;
  TiXmlDocument* doc = nullptr;
  if (!Exchange(kRead, url.GetString(), "GET", nullptr, -1, answer, &doc) || doc == nullptr) return 0;
  int found = 0;
  const TiXmlElement* root = doc->RootElement();
  if (strcmp(root->Value(), "feed") != 0) {
    lastError_.SetAs("Invalid contact");
  } else {
    for (const TiXmlElement* e = root->FirstChildElement("entry"); e != nullptr && !found;
         e = e->NextSiblingElement("entry")) {
      const TiXmlElement* system = e->FirstChildElement("gContact:systemGroup");
      const char* name = system != nullptr ? system->Attribute("id") : nullptr;
      if (name != nullptr && strcmp(name, "Contacts") == 0) {
        ChildText(e, "id", id);
        found = 1;
      }
    }
  }
  delete doc;
  return found;
}

int GDataClient::Get(const char* url, koString& body) {
  body.Clear();
  if (!Perform(kRead, url, "GET", nullptr, -1)) return 0;
  curl_->GetResponse(response_);
  body.SetAs(response_);
  return 1;
}

int GDataClient::GetPhoto(const char* url, koString& bytes, uint32_t* count) {
  bytes.Clear();
  *count = 0;
  if (!Perform(kRead, url, "GET", nullptr, -1)) return 0;
  uint32_t n = 0;
  curl_->GetResponse(bytes, &n);
  if (n == 0 || bytes.GetString()[0] == 0) {
    bytes.Clear();
    lastError_.SetAs("Photo not found");
    return 1;
  }
  *count = n;
  return 1;
}

int GDataClient::CreateContact(const char* entry, koString& answer) {
  answer.Clear();
  koString url;
  FeedUrl("contacts", url);
  koString text;
  TiXmlDocument* doc = nullptr;
  if (!Exchange(kCreate, url.GetString(), "POST", entry, -1, text, &doc)) return 0;
  if (doc != nullptr) answer.SetAs(text);
  delete doc;
  return 1;
}

int GDataClient::UpdateContact(const char* editUrl, const Contact& contact, koString& answer) {
  answer.Clear();
  koString entry;
  contact.ToXmlString(entry);
  koString text;
  TiXmlDocument* doc = nullptr;
  if (!Exchange(kUpdate, editUrl, "POST", entry.GetString(), static_cast<int>(entry.GetLength()),
                text, &doc) ||
      doc == nullptr)
    return 0;
  delete doc;
  answer.SetAs(text);
  return 1;
}

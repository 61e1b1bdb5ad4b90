#include "app/web/requestdispatch.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "app/store/configmgr.h"
#include "app/web/addon.h"
#include "app/web/connectionmgr.h"
#include "app/web/contactreqhandler.h"
#include "app/web/objectbase.h"
#include "app/web/prefmgr.h"
#include "app/web/proxymgr.h"
#include "app/web/resourcecache.h"
#include "app/web/showall.h"
#include "app/web/showlog.h"
#include "app/web/versionmgr.h"
#include "core/klog.h"
#include "core/ksqlite.h"
#include "core/pathmgr.h"
#include "core/sqlitemgr.h"
#include "platform/desktop/sessionguard.h"

namespace {

const char kPhotoPath[] = "/GoogleContactphoto";
const char kDefaultPhoto[] = "images/pv-contact-default-image.png";
const char kAcrossSessionPage[] = "acrosssession.html";
const char kPixelImagePath[] = "/pv-one-pixel.png";
const char kPhotoSql[] = "SELECT photo photo FROM contact_photo WHERE [contact_id] =?";
// The file pictures are PNG files whatever their names end in.
const char kPictureType[] = "image/png";

// The one browser extension that is ours: its pages may use and frame ours.
#define PV_EXTENSION_ORIGIN "chrome-extension://hdlheflidpohcjiefeogmcljhkkndkge"
const char kExtensionOrigin[] = PV_EXTENSION_ORIGIN;

// Pages run only our own scripts and styles and talk only to us; another
// site may not frame them.
const char kFrameAncestors[] =
    "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
    "frame-ancestors 'self' " PV_EXTENSION_ORIGIN "\r\n";

const char kUnknownObject[] = "HTTP/1.0 200 OK\r\n\r\nUnable to locate Object Factory";
const char kForbidden[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
const char kNotFound[] = "HTTP/1.0 404 Not Found\r\n\r\n";

// ---------------------------------------------------------------------------
// Foreign sites: a page elsewhere must neither read from us through a DNS
// name that points at 127.0.0.1 nor send us changes from its own origin.

// The port the client connected to; -1 when the system cannot tell.
int LocalPort(koHttpConnection* connection) {
  const struct sockaddr_storage* local = nullptr;
  const struct sockaddr_storage* peer = nullptr;
  if (!connection->GetEnds(&local, &peer)) return -1;
  if (local->ss_family == AF_INET) {
    return ntohs(reinterpret_cast<const struct sockaddr_in*>(local)->sin_port);
  }
  if (local->ss_family == AF_INET6) {
    return ntohs(reinterpret_cast<const struct sockaddr_in6*>(local)->sin6_port);
  }
  return -1;
}

// "127.0.0.1" or "localhost", followed by ":" and our own port, or, when
// the port may be left out, by nothing.
bool IsOwnHost(const char* text, uint32_t length, int port, bool portOptional) {
  uint32_t name = length;
  for (uint32_t i = 0; i < length; ++i) {
    if (text[i] == ':') {
      name = i;
      break;
    }
  }
  bool known = (name == 9 && strncmp(text, "127.0.0.1", 9) == 0) ||
               (name == 9 && strncasecmp(text, "localhost", 9) == 0);
  if (!known) return false;
  if (name == length) return portOptional;
  uint32_t digits = length - name - 1;
  if (digits == 0 || digits > 5) return false;
  int value = 0;
  for (uint32_t i = name + 1; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return value == port;
}

// A request without Host comes from no browser and cannot be a rebinding.
bool HostAllowed(const koString* header, int port) {
  if (header == nullptr) return true;
  koString host;
  host.SetAs(*header);
  host.Trim();
  return IsOwnHost(host.GetString(), host.GetLength(), port, true);
}

// Our own pages (exactly our scheme, host and port) and our browser
// extension; nobody else: no other extension, and not the "null" origin of
// sandboxed frames and local files.
bool OriginAllowed(const koString* header, int port) {
  if (header == nullptr) return true;
  koString origin;
  origin.SetAs(*header);
  origin.Trim();
  const char* text = origin.GetString();
  uint32_t length = origin.GetLength();
  if (length > 7 && strncasecmp(text, "http://", 7) == 0) {
    return IsOwnHost(text + 7, length - 7, port, false);
  }
  return length == sizeof kExtensionOrigin - 1 && memcmp(text, kExtensionOrigin, length) == 0;
}

// The browser's own word on where a request comes from: only our own pages
// ("same-origin") and the user ("none": typed, bookmarked, an extension).
// Another site on this machine is "same-site" and is refused too.
bool FetchSiteAllowed(const koString* header) {
  if (header == nullptr) return true;
  koString site;
  site.SetAs(*header);
  site.Trim();
  return site.EqualsNoCase("same-origin") || site.EqualsNoCase("none");
}

// Logs which header was foreign and answers 403; always 0.
int Refuse(koHttpConnection* connection, const char* header, const koString* value) {
  // Both texts come from the client: cut to a size that keeps the log readable.
  koString message;
  message.Format("Request refused: foreign %s %.200s, path %.200s", header, value->GetString(),
                 connection->GetPath().GetString());
  koString cause;
  cause.Format("Request refused: foreign %s", header);
  KO_LOG_FOLDED(-1, cause.GetString(), message.GetString());
  connection->Send(kForbidden);
  return 0;
}

// Every request: a page elsewhere must not read from us through a DNS name
// that points at 127.0.0.1. 1 when the request may go on; else the 403
// answer was sent.
int CheckHost(koHttpConnection* connection, int port) {
  const koString* host = connection->GetHeader("Host");
  return HostAllowed(host, port) ? 1 : Refuse(connection, "Host", host);
}

// Requests that read data or change something: a browser must not send them
// for a page of another site (an image, a script, a form, a fetch). Requests
// without these headers come from no browser and go on.
int CheckSite(koHttpConnection* connection, int port) {
  const koString* site = connection->GetHeader("Sec-Fetch-Site");
  if (!FetchSiteAllowed(site)) return Refuse(connection, "Sec-Fetch-Site", site);
  const koString* origin = connection->GetHeader("Origin");
  if (!OriginAllowed(origin, port)) return Refuse(connection, "Origin", origin);
  return 1;
}

// ---------------------------------------------------------------------------
// Resource store

// The program folder does not move while the program runs: the store's
// path is found once. Empty when it cannot be found.
const koString& StorePath() {
  static const koString* path = [] {
    koString* found = new koString();
    if (PathMgr::GetResourceFilePath(*found) == 0) found->Clear();
    return found;
  }();
  return *path;
}

// The extension of the last path component, with its dot; "" when none.
const char* ExtensionOf(const char* name) {
  const char* slash = strrchr(name, '/');
  const char* dot = strrchr(slash != nullptr ? slash : name, '.');
  return dot != nullptr ? dot : "";
}

// The part of a page's answer that is the same for every request of it.
void MakePageHead(const char* name, ResourceCache::Page* page) {
  const char* type = koHttpConnection::GetMimeType(ExtensionOf(name));
  if (type == nullptr) return;
  // A page can make requests that change things: only our own pages and the
  // browser extensions may show it in a frame, never another site.
  const char* frames = strcmp(type, "text/html") == 0 ? kFrameAncestors : nullptr;
  koHttpConnection::AppendHeadersAfterDate(page->head, type, page->modified, kAppVersion,
                                           page->content.GetLength(), 0, frames);
}

// The store's page `name`, or null.
std::shared_ptr<const ResourceCache::Page> FindPage(const char* name) {
  // Never destroyed: a request may still run while the process exits.
  static ResourceCache* pages = new ResourceCache(&MakePageHead);
  const koString& store = StorePath();
  if (store.GetLength() == 0) return nullptr;
  return pages->Find(store.GetString(), name);
}

// ---------------------------------------------------------------------------
// Session guard

void SendAcrossSessionPage(koHttpConnection* connection) {
  std::shared_ptr<const ResourceCache::Page> page = FindPage(kAcrossSessionPage);
  if (page == nullptr) return;
  if (!connection->Send(
          "HTTP/1.1 200 OK\r\n"
          "Cache-Control: no-cache\r\n"
          "Pragma: no-cache\r\n"
          "Expires: 0\r\n"
          "\r\n")) {
    return;
  }
  connection->Send(page->content);
}

enum SessionVerdict {
  kSessionRefused,  // answered already
  kSessionOwner,    // the server's own user
  kSessionPixel,    // another user's request for the one-pixel image
};

// Only the server's own user is served: another user of this machine must
// not read this user's mail through the loopback port.
SessionVerdict CheckSession(koHttpConnection* connection) {
  uid_t owner = 0;
  int error = 0;
  const struct sockaddr_storage* local = nullptr;
  const struct sockaddr_storage* peer = nullptr;
  koPeerOwnerResult found = kPeerOwnerNoAddress;
  if (connection->GetEnds(&local, &peer)) {
    found = koGetPeerOwnerOf(*local, *peer, &owner, &error);
  } else {
    error = errno;
  }
  if (found == kPeerOwnerNoAddress) {
    KO_LOG(error != 0 ? error : -1, "getsockname/getpeername Error");
    connection->Send("Error: Failed to get process session ID");
    return kSessionRefused;
  }
  if (found != kPeerOwnerFound) {
    KO_LOG(error != 0 ? error : -1, "Socket owner lookup Error");
    connection->Send("Error: failed to get console session ID");
    return kSessionRefused;
  }
  static const uid_t self = geteuid();
  if (owner == self) return kSessionOwner;
  KO_LOG_FOLDED(-1, "Warning: Request across session", "Warning: Request across session");
  // The one-pixel image tells another user nothing; it stays available, but
  // nothing else under its name.
  if (connection->GetMethod() == koHttpConnection::kMethodGet && !connection->HasQuery() &&
      strcmp(connection->GetPath().GetString(), kPixelImagePath) == 0 &&
      connection->GetPath().GetLength() == sizeof kPixelImagePath - 1) {
    return kSessionPixel;
  }
  SendAcrossSessionPage(connection);
  return kSessionRefused;
}

// ---------------------------------------------------------------------------
// Static routes

// The stored photo of contact `id`; 0 (nothing sent) when there is none or
// the database cannot be read, so that the default picture is sent instead.
int SendContactPhoto(koHttpConnection* connection) {
  int id = connection->GetParameter("id")->ToInt();
  koString path;
  if (PathMgr::GetConfigDir(path) == 0) return 0;
  path += "/data/";
  path += SQLiteMgr::kSummaryDatabase;
  // Read-only: a photo request must never create the database.
  koSQLite db;
  if (!db.Open(path, 1)) {
    KO_LOG(-1, db.GetErrMsg());
    return 0;
  }
  koStatement row(&db, kPhotoSql);
  if (!row.Int(id).Step()) return 0;
  const void* photo = db.GetBlob(row.Handle(), 0);
  int length = photo != nullptr ? db.GetBytes(row.Handle(), 0) : 0;
  if (photo == nullptr || length <= 0) return 0;
  if (connection->Send(
          "HTTP/1.1 200 OK\r\n"
          "Connection: close\r\n"
          "Content-type: image/jpeg\r\n\r\n")) {
    connection->SendData(static_cast<const char*>(photo), length);
  }
  return 1;
}

// True when the store's time is later than the client's validator, read as
// a decimal number (its leading digits; none: 0).
bool NewerThan(int64_t modified, const char* validator) {
  int64_t client = 0;
  for (const char* p = validator; *p >= '0' && *p <= '9'; ++p) {
    client = client * 10 + (*p - '0');
    // Far beyond any time the store holds; stop before overflowing.
    if (client > INT64_C(0xFFFFFFFF)) break;
  }
  return modified > client;
}

// The store's page (found by RouteOf), or 304 when the client's copy is
// current; whatever the page is, its answer goes out in one write.
void SendResourceFile(koHttpConnection* connection, const ResourceCache::Page& page,
                      const char* validator) {
  if (validator != nullptr && !NewerThan(page.modified, validator)) {
    koString answer;
    answer.Format("HTTP/1.0 304 Not Modified\r\nETag: %s\r\n\r\n\r\n", validator);
    connection->Send(answer);
    return;
  }
  connection->SendPrepared(page.head, page.content.GetString(), page.content.GetLength());
}

// True when the decoded path holds a ".." component (or a zero byte, which
// would cut the path short where the file system reads it).
bool ClimbsUp(const koString& path) {
  const char* text = path.GetString();
  if (strlen(text) != path.GetLength()) return true;
  const char* part = text;
  for (;;) {
    const char* end = strchr(part, '/');
    size_t length = end != nullptr ? static_cast<size_t>(end - part) : strlen(part);
    if (length == 2 && part[0] == '.' && part[1] == '.') return true;
    if (end == nullptr) return false;
    part = end + 1;
  }
}

// A picture of an extracted attachment, by its path under the picture
// folder; 404 for anything else, including every way out of the folder.
void SendPicture(koHttpConnection* connection, const char* validator) {
  koString relative;
  relative.SetAs(connection->GetPath());
  relative.UrlDecode();
  koString root;
  char real_root[PATH_MAX];
  char real_file[PATH_MAX];
  bool inside = false;
  if (!ClimbsUp(relative) && PathMgr::GetPictureCacheDir(root)) {
    koString file;
    file.SetAs(root);
    if (relative.GetString()[0] != '/') file += "/";
    file += relative;
    // Symbolic links may lead anywhere: the resolved file must still lie
    // below the resolved folder.
    if (realpath(root.GetString(), real_root) != nullptr &&
        realpath(file.GetString(), real_file) != nullptr) {
      size_t n = strlen(real_root);
      inside = strncmp(real_file, real_root, n) == 0 && real_file[n] == '/';
    }
  }
  if (inside && connection->SendFile(real_file, kPictureType, validator, kAppVersion)) return;
  connection->Send(kNotFound);
}

// Where a request goes, known from its head alone.
enum Route {
  kRouteObject,   // the handler table
  kRoutePage,     // a page of the resource store: open to every site
  kRoutePhoto,    // a contact's photo
  kRoutePicture,  // an attachment's picture (or 404)
};

// The resource name of a static request: its path without leading slashes.
void ResourceName(const koHttpConnection* connection, koString& name) {
  name.SetAs(connection->GetPath());
  name.TrimLeftChar('/');
}

// Where the request goes; *page = the store's page for kRoutePage.
Route RouteOf(koHttpConnection* connection, std::shared_ptr<const ResourceCache::Page>* page) {
  if (connection->GetMethod() != koHttpConnection::kMethodGet) return kRouteObject;
  const koString& path = connection->GetPath();
  if (strcmp(path.GetString(), "/") == 0 || path.Find("?") >= 0) return kRouteObject;
  if (path.EqualsNoCase(kPhotoPath)) return kRoutePhoto;
  koString name;
  ResourceName(connection, name);
  // Only names of a known type are served from the store.
  if (koHttpConnection::GetMimeType(ExtensionOf(name.GetString())) != nullptr &&
      (*page = FindPage(name.GetString())) != nullptr) {
    return kRoutePage;
  }
  return kRoutePicture;
}

// Answers a request of any route but the handler table's.
void HandleStaticRequest(koHttpConnection* connection, Route route,
                         std::shared_ptr<const ResourceCache::Page> page) {
  // The ETag we sent comes back quoted; the store compares bare numbers.
  koString validator;
  const koString* match = connection->GetHeader("If-None-Match");
  if (match != nullptr) {
    validator.SetAs(*match);
    validator.TrimLeftChar('"');
    // Only a closing quote goes: an unquoted value keeps its last digit.
    if (validator.GetLength() > 0 && validator.GetString()[validator.GetLength() - 1] == '"') {
      validator.RemoveLast(1);
    }
  }
  const char* client = match != nullptr ? validator.GetString() : nullptr;

  if (route == kRoutePhoto) {
    if (SendContactPhoto(connection)) return;
    page = FindPage(kDefaultPhoto);
  }
  if (route != kRoutePicture && page != nullptr) {
    SendResourceFile(connection, *page, client);
    return;
  }
  SendPicture(connection, client);
}

}  // namespace

const ObjectFactoryRow ObjectFactoryTable[] = {
    {"ShowAll", &RunObjectFactory<ShowAll>},
    {"ConnectionMgr", &RunObjectFactory<ConnectionMgr>},
    {"ShowLog", &RunObjectFactory<ShowLog>},
    {"PrefMgr", &RunObjectFactory<PrefMgr>},
    {"ProxyMgr", &RunObjectFactory<ProxyMgr>},
    {"Addon", &RunObjectFactory<Addon>},
    {"VersionMgr", &VersionMgr::Factory},
    {"ContactReqHandler", &RunObjectFactory<ContactReqHandler>},
    {nullptr, nullptr},
};

int DispatchRequest(koHttpConnection* connection, int argument, int /*unused*/) {
  // Everything that refuses a request looks at its head only: a refused
  // request's body is never read and its parameters never parsed.
  int port = LocalPort(connection);
  if (!CheckHost(connection, port)) return 1;
  SessionVerdict session = CheckSession(connection);
  if (session == kSessionRefused) return 1;
  std::shared_ptr<const ResourceCache::Page> page;
  Route route = RouteOf(connection, &page);
  if (route != kRoutePage && !CheckSite(connection, port)) return 1;
  // Another user gets the image and nothing else: whatever body came with
  // the request is never read, its parameters never parsed.
  if (session == kSessionPixel) {
    HandleStaticRequest(connection, route, std::move(page));
    return 1;
  }
  if (!connection->ReadBody()) return 1;
  if (route != kRouteObject) {
    HandleStaticRequest(connection, route, std::move(page));
    return 1;
  }

  const koString* object = connection->GetParameter("_object");
  ObjectFactory factory = nullptr;
  if (object->GetLength() == 0) {
    factory = ObjectFactoryTable[0].factory;
  } else {
    for (const ObjectFactoryRow* row = ObjectFactoryTable; row->name != nullptr; ++row) {
      // Byte for byte over the whole value: a decoded zero byte must not
      // end the comparison early.
      if (strlen(row->name) == object->GetLength() &&
          memcmp(row->name, object->GetString(), object->GetLength()) == 0) {
        factory = row->factory;
        break;
      }
    }
  }
  if (factory != nullptr) return factory(connection, argument);
  connection->Send(kUnknownObject);
  return 1;
}

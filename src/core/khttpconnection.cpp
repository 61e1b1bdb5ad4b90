#include "core/khttpconnection.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "core/klog.h"

namespace {

constexpr int kRecvPiece = 4095;
constexpr int kSendPiece = 8192;
constexpr int kFileBlock = 8192;

constexpr char kFormType[] = "application/x-www-form-urlencoded";

struct MimeRow {
  const char* extension;
  const char* type;
};

constexpr MimeRow kMimeTypes[] = {
    {".js", "application/x-javascript"},
    {".html", "text/html"},
    {".htm", "text/html"},
    {".xml", "text/xml"},
    {".css", "text/css"},
    {".png", "image/png"},
    {".jpg", "image/jpeg"},
    {".log", "text/plain"},
    {".gif", "image/gif"},
    {".ico", "image/x-icon"},
    {".swf", "application/x-shockwave-flash"},
    {".xpi", "application/x-xpinstall"},
    {".xap", "application/x-silverlight-app"},
};

unsigned char Lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

// True when the n bytes at p equal the n bytes of word, ASCII case folded.
bool StartsNoCase(const char* p, uint32_t length, const char* word, uint32_t n) {
  if (length < n) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (Lower(static_cast<unsigned char>(p[i])) != Lower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

// A byte range of the request; the request may hold zero bytes, so ranges
// are never treated as C strings.
struct Span {
  const char* p;
  uint32_t n;
};

// Cuts the text before the first `sep` off `rest` into *token and drops the
// separator; without `sep` the whole rest is the token. false when rest was
// empty, so a trailing separator yields nothing while an empty piece before a
// separator yields an empty token.
bool CutSpan(Span* rest, const char* sep, uint32_t sepLength, Span* token) {
  if (rest->n == 0) return false;
  const void* hit = memmem(rest->p, rest->n, sep, sepLength);
  if (hit == nullptr) {
    *token = *rest;
    rest->p += rest->n;
    rest->n = 0;
    return true;
  }
  uint32_t at = static_cast<uint32_t>(static_cast<const char*>(hit) - rest->p);
  token->p = rest->p;
  token->n = at;
  rest->p += at + sepLength;
  rest->n -= at + sepLength;
  return true;
}

// Splits at the first `sep`: name before it, value after it (empty when absent).
void SplitPair(Span piece, const char* sep, uint32_t sepLength, Span* name, Span* value) {
  const void* hit = memmem(piece.p, piece.n, sep, sepLength);
  if (hit == nullptr) {
    *name = piece;
    value->p = piece.p + piece.n;
    value->n = 0;
    return;
  }
  uint32_t at = static_cast<uint32_t>(static_cast<const char*>(hit) - piece.p);
  name->p = piece.p;
  name->n = at;
  value->p = piece.p + at + sepLength;
  value->n = piece.n - at - sepLength;
}

koString* NewString(Span s) {
  koString* out = new koString();
  out->SetAs(s.p, static_cast<int>(s.n));
  return out;
}

// The leading decimal digits of text (after blanks) as a number; anything
// else gives 0. Saturates at `cap` instead of overflowing.
int64_t LeadingNumber(const char* text, int64_t cap) {
  if (text == nullptr) return 0;
  while (*text == ' ' || *text == '\t') ++text;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value >= cap) return cap;
  }
  return value;
}

}  // namespace

koHttpConnection::koHttpConnection(koSocketHandle handle, koLog* log)
    : koSocket(log),
      headers_(1, koMap::FreeStringItem),
      parameters_(1, koMap::FreeStringItem) {
  Attach(handle);
}

koHttpConnection::~koHttpConnection() {
  // The close sends what waits, together with the connection's end.
  WriteGathered(nullptr, 0);
  Close();
}

void koHttpConnection::SetEnds(const struct sockaddr_storage& local,
                               const struct sockaddr_storage& peer) {
  local_ = local;
  peer_ = peer;
  ends_known_ = true;
}

bool koHttpConnection::GetEnds(const struct sockaddr_storage** local,
                               const struct sockaddr_storage** peer) {
  if (!ends_known_) {
    socklen_t localLength = sizeof local_;
    socklen_t peerLength = sizeof peer_;
    ends_known_ =
        getsockname(GetHandle(), reinterpret_cast<struct sockaddr*>(&local_), &localLength) == 0 &&
        getpeername(GetHandle(), reinterpret_cast<struct sockaddr*>(&peer_), &peerLength) == 0;
    if (!ends_known_) return false;
  }
  *local = &local_;
  *peer = &peer_;
  return true;
}

int64_t koHttpConnection::BodyBytesWanted(int64_t declared) const {
  // Whatever is already there is read as well, so no unread byte turns the
  // close after the answer into a reset that could destroy the answer.
  int available = BytesAvailable();
  if (available > 0) return available;
  return declared - static_cast<int64_t>(request_.GetLength());
}

int koHttpConnection::ReadRequest() { return ReadHead() && ReadBody(); }

bool koHttpConnection::CheckHeadBytes(uint32_t end) {
  // Every line ends in CR LF: a bare LF or CR would let one reader see a
  // line break where another sees none (a header hidden inside the request
  // line). A zero byte ends C strings early and no browser sends one.
  const char* text = request_.GetString();
  uint32_t length = request_.GetLength();
  uint32_t i = checked_;
  for (; i < end; ++i) {
    char c = text[i];
    if (c == '\0') {
      head_fault_ = "zero byte";
    } else if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
      head_fault_ = "bare line feed";
    } else if (c == '\r' && i + 1 < length && text[i + 1] != '\n') {
      head_fault_ = "bare carriage return";
    } else if (c == '\r' && i + 1 == length) {
      break;  // what follows has not come yet
    }
    if (head_fault_ != nullptr) return false;
  }
  checked_ = i;
  return true;
}

koHttpConnection::HeadState koHttpConnection::ReceiveHeadPart() {
  char buffer[kRecvPiece + 1];
  for (;;) {
    // Never more than the head may hold, plus the one byte that proves it too long.
    uint32_t room = kMaxHeadLength + 4 - request_.GetLength();
    int n = RecvNoWait(buffer, room < static_cast<uint32_t>(kRecvPiece) ? static_cast<int>(room) : kRecvPiece);
    if (n == kWouldBlock) return kHeadIncomplete;
    if (n <= 0) return kHeadGone;
    request_.Append(buffer, n);

    const char* text = request_.GetString();
    uint32_t length = request_.GetLength();
    uint32_t from = scanned_ >= 3 ? scanned_ - 3 : 0;
    const void* blank = memmem(text + from, length - from, "\r\n\r\n", 4);
    scanned_ = length;
    uint32_t end = blank != nullptr ? static_cast<uint32_t>(static_cast<const char*>(blank) - text) : length;
    // A malformed head is refused as soon as it shows, not after its time.
    if (!CheckHeadBytes(end)) return kHeadMalformed;
    if (blank == nullptr) {
      if (length > kMaxHeadLength) return kHeadTooLarge;
      continue;
    }
    head_length_ = end;
    body_start_ = end + 4;
    return head_length_ > kMaxHeadLength ? kHeadTooLarge : kHeadComplete;
  }
}

bool koHttpConnection::ParseReceivedHead() {
  // The head is cut off and parsed; what followed it starts the body.
  koString head;
  head.SetAs(request_.GetString(), static_cast<int>(head_length_));
  koString body;
  body.SetAs(request_.GetString() + body_start_, static_cast<int>(request_.GetLength() - body_start_));
  request_ = std::move(body);
  return ParseHead(head.GetString(), head.GetLength());
}

int koHttpConnection::ReadHead() {
  request_.Clear();
  scanned_ = 0;
  checked_ = 0;
  head_fault_ = nullptr;
  // One deadline for the whole head: a client that sends a byte now and then
  // must not hold its thread forever.
  int64_t deadline = koMonotonicMs() + kHeadTimeLimitMs;
  for (;;) {
    HeadState state = ReceiveHeadPart();
    if (state == kHeadComplete) break;
    if (state == kHeadTooLarge) {
      SendStatus("431 Request Header Fields Too Large");
      return 0;
    }
    if (state == kHeadMalformed) {
      SendStatus("400 Bad Request");
      return 0;
    }
    if (state == kHeadGone) return 0;
    int64_t left = deadline - koMonotonicMs();
    if (left <= 0 || !WaitReadableMs(left)) return 0;
  }
  if (!ParseReceivedHead()) {
    SendStatus("400 Bad Request");
    return 0;
  }
  return 1;
}

int koHttpConnection::ReadBody() {
  if (body_read_) return 1;
  // Declared body length, bounded before any arithmetic is done with it.
  int64_t declared = 0;
  const koString* contentLength = GetHeader("Content-Length");
  if (contentLength != nullptr) {
    declared = LeadingNumber(contentLength->GetString(), kMaxBodyLength + 1);
    if (declared > kMaxBodyLength) {
      SendStatus("413 Payload Too Large");
      return 0;
    }
  }

  // The rest of the body, as fast as it comes. Bytes beyond the declared
  // length are read (so the peer's send does not stall) but not kept.
  if (declared > static_cast<int64_t>(request_.GetLength())) {
    char buffer[kRecvPiece + 1];
    int64_t deadline = koMonotonicMs() + kBodyTimeLimitMs;
    int64_t wanted = BodyBytesWanted(declared);
    while (wanted > 0) {
      if (!WaitReadableMs(deadline - koMonotonicMs())) return 0;
      int n = Recv(buffer, wanted < kRecvPiece ? static_cast<int>(wanted) : kRecvPiece);
      if (n <= 0) return 0;
      int64_t room = declared - static_cast<int64_t>(request_.GetLength());
      if (room > 0) request_.Append(buffer, n < room ? n : static_cast<int>(room));
      wanted = BodyBytesWanted(declared);
    }
  }

  // Without Content-Length any bytes behind the head are dropped.
  if (static_cast<int64_t>(request_.GetLength()) > declared) {
    request_.RemoveLast(request_.GetLength() - static_cast<uint32_t>(declared));
  }

  // The query, then a form body whatever the method; parameters after a ';'
  // of the type are allowed.
  ParameterBudget budget;
  if (has_query_) AddParameters(query_.GetString(), query_.GetLength(), false, &budget);
  const koString* contentType = GetHeader("Content-Type");
  if (contentType != nullptr &&
      StartsNoCase(contentType->GetString(), contentType->GetLength(), kFormType,
                   sizeof kFormType - 1)) {
    AddParameters(request_.GetString(), request_.GetLength(), true, &budget);
  }
  if (budget.dropped > 0) {
    koString message;
    message.Format("Request parameters dropped: %u beyond the %u fields or %u bytes a request may have",
                   budget.dropped, kMaxParameters, kMaxParameterBytes);
    KO_LOG_FOLDED(-1, "Request parameters dropped", message.GetString());
  }
  body_read_ = true;
  return 1;
}

bool koHttpConnection::ParseHead(const char* head, uint32_t length) {
  Span rest = {head, length};
  Span line = {head, 0};
  CutSpan(&rest, "\r\n", 2, &line);

  // Method, then target; the protocol version is not used.
  Span method = {line.p, 0};
  Span target = {line.p, 0};
  CutSpan(&line, " ", 1, &method);
  CutSpan(&line, " ", 1, &target);
  if (StartsNoCase(method.p, method.n, "GET", 3)) {
    method_ = kMethodGet;
  } else if (StartsNoCase(method.p, method.n, "POST", 4)) {
    method_ = kMethodPost;
  } else {
    method_ = kMethodOther;
  }

  // The query waits for ReadBody: nothing of it is parsed before the
  // request's origin and sender were checked.
  const void* mark = memchr(target.p, '?', target.n);
  if (mark == nullptr) {
    path_.SetAs(target.p, static_cast<int>(target.n));
  } else {
    uint32_t at = static_cast<uint32_t>(static_cast<const char*>(mark) - target.p);
    path_.SetAs(target.p, static_cast<int>(at));
    query_.SetAs(target.p + at + 1, static_cast<int>(target.n - at - 1));
    has_query_ = true;
  }

  // Header lines, neither decoded nor trimmed but for the blanks around the
  // colon: "Host:x" and "Host : x" name the same header as "Host: x", or a
  // check of it could be dodged.
  Span headerLine;
  while (CutSpan(&rest, "\r\n", 2, &headerLine)) {
    // A folded line continues the header before it for some readers and
    // starts one of its own for others.
    if (headerLine.n > 0 && (headerLine.p[0] == ' ' || headerLine.p[0] == '\t')) {
      head_fault_ = "folded header line";
      return false;
    }
    Span name, value;
    SplitPair(headerLine, ":", 1, &name, &value);
    while (name.n > 0 && (name.p[name.n - 1] == ' ' || name.p[name.n - 1] == '\t')) --name.n;
    while (value.n > 0 && (value.p[0] == ' ' || value.p[0] == '\t')) {
      ++value.p;
      --value.n;
    }
    headers_.Set(NewString(name), NewString(value));
  }

  // The checks read the first of each; a second one that another reader
  // would take instead must not exist.
  for (const char* unique : {"Host", "Origin", "Sec-Fetch-Site", "Content-Length"}) {
    if (headers_.NextSequence(unique) > 1) {
      head_fault_ = "repeated header";
      return false;
    }
  }
  return true;
}

void koHttpConnection::AddParameters(const char* text, uint32_t length, bool trimValues,
                                     ParameterBudget* budget) {
  Span rest = {text, length};
  Span piece;
  while (CutSpan(&rest, "&", 1, &piece)) {
    if (budget->fields == 0 || piece.n > budget->bytes) {
      // Only counted: this piece and every one after it (as many as '&'
      // separate, but for a trailing one, which adds nothing).
      ++budget->dropped;
      if (rest.n == 0) return;
      const char* end = rest.p + rest.n;
      for (const char* p = rest.p; (p = static_cast<const char*>(memchr(p, '&', end - p))) != nullptr; ++p) {
        ++budget->dropped;
      }
      if (end[-1] != '&') ++budget->dropped;
      return;
    }
    --budget->fields;
    budget->bytes -= piece.n;
    Span name, value;
    SplitPair(piece, "=", 1, &name, &value);
    koString* key = NewString(name);
    key->UrlDecode();
    koString* data = NewString(value);
    data->UrlDecode();
    if (trimValues) data->Trim();
    parameters_.Set(key, data);
  }
}

koString* koHttpConnection::GetParameter(const char* name, uint32_t index) {
  koString* value = static_cast<koString*>(parameters_.Get(name, index));
  if (value != nullptr) return value;
  value = new koString("");
  if (parameters_.Set(new koString(name != nullptr ? name : ""), value) != 0) {
    // The map refused (and freed) the entry: a name already stored 65536 times.
    refused_.Clear();
    return &refused_;
  }
  return value;
}

const koString* koHttpConnection::GetHeader(const char* name) const {
  return static_cast<const koString*>(headers_.Get(name, 0));
}

int koHttpConnection::WriteGathered(const struct iovec* more, int count, bool push) {
  struct iovec pieces[kMaxPieces];
  int n = 0;
  if (gathered_.GetLength() > 0) {
    pieces[n].iov_base = const_cast<char*>(gathered_.GetString());
    pieces[n++].iov_len = gathered_.GetLength();
  }
  for (int i = 0; i < count && n < kMaxPieces; ++i) pieces[n++] = more[i];
  if (!send_failed_ && n > 0 && !SendPieces(pieces, n, gathering_ && !push)) send_failed_ = true;
  gathered_.Clear();
  return send_failed_ ? 0 : 1;
}

int koHttpConnection::Flush() { return WriteGathered(nullptr, 0, true); }

int koHttpConnection::SendData(const char* bytes, int64_t count) {
  if (gathering_) {
    if (send_failed_) return 0;
    if (count <= 0) return 1;
    // A large block goes out at once behind what waits, instead of being copied.
    if (gathered_.GetLength() + static_cast<uint64_t>(count) > kGatherLimit) {
      struct iovec piece = {const_cast<char*>(bytes), static_cast<size_t>(count)};
      return WriteGathered(&piece, 1);
    }
    gathered_.Append(bytes, static_cast<int>(count));
    return 1;
  }
  while (count > 0) {
    int piece = count < kSendPiece ? static_cast<int>(count) : kSendPiece;
    // A send may take part of a piece; the rest follows until the peer is gone.
    int done = 0;
    while (done < piece) {
      int n = koSocket::Send(bytes + done, piece - done);
      if (n <= 0) return 0;
      done += n;
    }
    bytes += piece;
    count -= piece;
  }
  return 1;
}

int koHttpConnection::Send(const char* text) {
  if (text == nullptr) return 1;
  return SendData(text, static_cast<int64_t>(strlen(text)));
}

int koHttpConnection::Send(const koString& s) { return SendData(s.GetString(), s.GetLength()); }

int koHttpConnection::SendStatus(const char* status) {
  koString answer("HTTP/1.0 ");
  answer += status;
  answer += "\r\n\r\n";
  return Send(answer);
}

namespace {

const char kStatusAndDate[] = "HTTP/1.1 200 OK\r\nDate: ";

// The current time as an HTTP date, formatted once a second per thread.
const koString& DateNow() {
  thread_local time_t second = -1;
  thread_local koString text;
  time_t now = time(nullptr);
  if (now != second) {
    koHttpConnection::FormatHttpDate(static_cast<int64_t>(now), text);
    second = now;
  }
  return text;
}

}  // namespace

void koHttpConnection::AppendHeadersAfterDate(koString& out, const char* contentType,
                                              int64_t modified, const char* serverSuffix,
                                              int64_t length, int noLength,
                                              const char* extraHeaders) {
  koString date;
  FormatHttpDate(modified, date);
  out.AppendFormat("\r\nServer:Postvane%s\r\nETag: \"%I64d\"\r\nLast-Modified: %s\r\n",
                   serverSuffix != nullptr ? serverSuffix : "", modified, date.GetString());
  if (!noLength) out.AppendFormat("%s: %I64d\r\n", "Content-Length", length);
  if (extraHeaders != nullptr) out += extraHeaders;
  out += "Connection: close\r\nContent-type: ";
  out += contentType != nullptr ? contentType : "";
  out += "\r\n\r\n";
}

int koHttpConnection::SendHeaders(const char* contentType, int64_t modified,
                                  const char* serverSuffix, int64_t length, int noLength,
                                  const char* extraHeaders) {
  koString block(kStatusAndDate);
  block += DateNow();
  AppendHeadersAfterDate(block, contentType, modified, serverSuffix, length, noLength,
                         extraHeaders);
  return Send(block);
}

int koHttpConnection::SendPrepared(const koString& headers, const char* body, int64_t count) {
  const koString& date = DateNow();
  struct iovec pieces[4] = {
      {const_cast<char*>(kStatusAndDate), sizeof kStatusAndDate - 1},
      {const_cast<char*>(date.GetString()), date.GetLength()},
      {const_cast<char*>(headers.GetString()), headers.GetLength()},
      {const_cast<char*>(body), count > 0 ? static_cast<size_t>(count) : 0},
  };
  return WriteGathered(pieces, 4);
}

int koHttpConnection::SendOk(const char* body, int64_t count, const char* contentType,
                             int64_t modified, const char* serverSuffix, const char* extraHeaders) {
  if (count < 0) count = 0;
  if (!SendHeaders(contentType, modified, serverSuffix, count, 0, extraHeaders)) return 0;
  return SendData(body, count);
}

int koHttpConnection::SendFile(const char* path, const char* contentType, const char* validator,
                               const char* serverSuffix) {
  if (path == nullptr) return 0;
  int fd;
  do {
    fd = open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return 0;
  struct stat info;
  // A directory opens on Linux but is no file to send.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return 0;
  }
  int64_t modified = static_cast<int64_t>(info.st_mtime);

  if (validator != nullptr && modified <= LeadingNumber(validator, INT64_MAX / 10)) {
    koString etag;
    etag.Format("ETag: %s\r\n", validator);
    if (Send("HTTP/1.0 ") && Send("304 Not Modified") && Send("\r\n") && Send(etag)) {
      Send("\r\n\r\n");
    }
    close(fd);
    return 1;
  }

  if (SendHeaders(contentType, modified, serverSuffix, 0, 1)) {
    char block[kFileBlock];
    for (;;) {
      ssize_t n = read(fd, block, sizeof block);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      if (!SendData(block, n)) break;
    }
  }
  close(fd);
  return 1;
}

const char* koHttpConnection::GetMimeType(const char* extension) {
  if (extension == nullptr) return nullptr;
  for (const MimeRow& row : kMimeTypes) {
    if (strcasecmp(extension, row.extension) == 0) return row.type;
  }
  return nullptr;
}

int koHttpConnection::FormatHttpDate(int64_t time, koString& out) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  out.Clear();
  time_t t = static_cast<time_t>(time);
  struct tm utc;
  // Day and month names are fixed English, whatever the locale says.
  if (gmtime_r(&t, &utc) == nullptr || utc.tm_wday < 0 || utc.tm_wday > 6 || utc.tm_mon < 0 ||
      utc.tm_mon > 11) {
    return 0;
  }
  out.Format("%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday], utc.tm_mday,
             kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return 1;
}

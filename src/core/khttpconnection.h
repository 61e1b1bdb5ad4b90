// koHttpConnection: one accepted HTTP connection of the local web server. It
// reads exactly one request, parses it, and writes one answer; the connection
// is closed afterwards (no keep-alive).
//
// Ownership: the connection owns its socket handle and closes it in its
// destructor. Parameters and headers are owned by the connection; strings
// handed out stay valid until the connection is destroyed. The logger is the
// owner's and may be null.
// Thread-safety: none; a connection is used by its own connection thread only.
#ifndef PV_CORE_KHTTPCONNECTION_H
#define PV_CORE_KHTTPCONNECTION_H

#include <cstdint>

#include "core/kmap.h"
#include "core/ksocket.h"
#include "core/kstring.h"

class koHttpConnection : public koSocket {
 public:
  enum { kMethodOther = 0, kMethodGet = 1, kMethodPost = 2 };

  // A declared body longer than this is refused with "413": the bound keeps
  // every length computation far from overflow.
  static constexpr int64_t kMaxBodyLength = 16 * 1024 * 1024;
  // A request head (request line and header lines) longer than this is
  // refused with "431"; a head must arrive whole within kHeadTimeLimitMs of
  // the first attempt to read it, however slowly it trickles in.
  static constexpr uint32_t kMaxHeadLength = 64 * 1024;
  static constexpr int kHeadTimeLimitMs = 10000;
  // The body must arrive within this of the head.
  static constexpr int kBodyTimeLimitMs = 60000;
  // The query and a form body together give at most this many parameters
  // and this many bytes of them (as sent, before decoding); the rest is
  // dropped and counted in one log record. The pages send a few dozen
  // fields of a few kilobytes.
  static constexpr uint32_t kMaxParameters = 10000;
  static constexpr uint32_t kMaxParameterBytes = 1024 * 1024;

  // What ReceiveHeadPart found. kHeadMalformed: a line ends in a bare LF or
  // CR, or the head holds a zero byte (GetHeadFault tells which).
  enum HeadState {
    kHeadIncomplete = 0,
    kHeadComplete = 1,
    kHeadGone = 2,
    kHeadTooLarge = 3,
    kHeadMalformed = 4
  };

  // Takes over the accepted handle.
  koHttpConnection(koSocketHandle handle, koLog* log);
  ~koHttpConnection() override;

  // Reads and parses one whole request: ReadHead, then ReadBody. 1 on
  // success; 0 when either failed.
  int ReadRequest();

  // Reads and parses the head, waiting at most kHeadTimeLimitMs in all. 1 on
  // success; 0 when the peer closed, a receive failed, the time ran out, the
  // head was too long (then "431" was sent) or malformed (then "400" was
  // sent). Parameters are not parsed yet, so a request can be refused from
  // its head alone. Failures are not logged: every client can cause them.
  int ReadHead();
  // One step of reading the head without waiting, for a caller that waits for
  // many connections at once: takes what has arrived and tells whether the
  // head is complete. After kHeadComplete, ParseReceivedHead parses it.
  HeadState ReceiveHeadPart();
  // Parses the head that ReceiveHeadPart completed. false when it is
  // malformed: a header that may appear once (Host, Origin, Sec-Fetch-Site,
  // Content-Length) appears twice, or a header line is folded onto the one
  // before it. Such a request is answered "400" and seen by nobody.
  bool ParseReceivedHead();
  // Why the head was malformed (a fixed text), or null.
  const char* GetHeadFault() const { return head_fault_; }
  // After the head: reads the body (without waiting longer than
  // kBodyTimeLimitMs) and parses the query and form parameters. 1 on success;
  // 0 when the peer closed, a receive failed or the time ran out, or when the
  // declared body is longer than kMaxBodyLength (then "413" was sent).
  // Once it succeeded, further calls answer 1 at once.
  int ReadBody();

  // The connection's own address and its client's, as accept gave them.
  void SetEnds(const struct sockaddr_storage& local, const struct sockaddr_storage& peer);
  // *local and *peer = those addresses, asked of the system on first use
  // when SetEnds was not called. false when the system could not tell.
  bool GetEnds(const struct sockaddr_storage** local, const struct sockaddr_storage** peer);

  // Whether the request target had a query ('?'), even an empty one.
  bool HasQuery() const { return has_query_; }
  // kMethodGet, kMethodPost or kMethodOther.
  int GetMethod() const { return method_; }
  // The request target before its first '?', not decoded.
  const koString& GetPath() const { return path_; }
  // The body after ReadRequest (at most the declared length; empty without
  // Content-Length). A form body stays here as well as in the parameters.
  const koString& GetRequestText() const { return request_; }

  // The value stored under `name` (ignoring case) with that index among equal
  // names (0 = first). Never null: when there is none, an entry with that
  // name and an empty value is added and its value returned.
  koString* GetParameter(const char* name, uint32_t index = 0);
  // The first value stored under `name` (ignoring case), or null.
  const koString* GetHeader(const char* name) const;

  // The raw one-call send of koSocket stays available as Send(bytes, count).
  using koSocket::Send;
  // From now on the answer's bytes are gathered and written in few large
  // writes instead of one per piece: by Flush, by SendPrepared, whenever
  // kGatherLimit bytes wait, and at the latest when the connection is
  // destroyed. A failed write is reported by the sends after it. Only Flush
  // makes sure that everything has left: otherwise the answer's last bytes
  // may wait for the close and leave together with the end of the
  // connection, so that the client is woken once, not twice.
  static constexpr uint32_t kGatherLimit = 64 * 1024;
  void BeginGathering() { gathering_ = true; }
  // Writes what was gathered. 1 when everything so far went out.
  int Flush();
  // Sends count bytes in pieces of at most 8192, each piece until it is all
  // written. 1 when everything went out; 0 as soon as the peer is gone.
  int SendData(const char* bytes, int64_t count);
  // SendData of the text up to its zero / of all bytes of s.
  int Send(const char* text);
  int Send(const koString& s);
  // "HTTP/1.0 <status>\r\n\r\n".
  int SendStatus(const char* status);
  // The 200 header block: status line, Date, Server ("Postvane" + suffix),
  // ETag and Last-Modified from `modified` (seconds since 1970), Content-Length
  // unless noLength, `extraHeaders` (whole lines, each ending in CR LF; may be
  // null), "Connection: close", the content type. 1 when sent.
  int SendHeaders(const char* contentType, int64_t modified, const char* serverSuffix,
                  int64_t length, int noLength, const char* extraHeaders = nullptr);
  // SendHeaders with count as length, then the body. 1 when all was sent.
  int SendOk(const char* body, int64_t count, const char* contentType, int64_t modified,
             const char* serverSuffix, const char* extraHeaders = nullptr);
  // The 200 header block of SendHeaders from the end of its Date line on,
  // appended to out: what an answer repeats for every request of the same
  // content, so it can be built once.
  static void AppendHeadersAfterDate(koString& out, const char* contentType, int64_t modified,
                                     const char* serverSuffix, int64_t length, int noLength,
                                     const char* extraHeaders = nullptr);
  // The whole 200 answer in one write: status line, Date, then `headers`
  // (from AppendHeadersAfterDate) and the body; what was gathered before
  // goes first. 1 when all was sent.
  int SendPrepared(const koString& headers, const char* body, int64_t count);
  // Sends the regular file at `path`, streamed in 8192-byte blocks without a
  // Content-Length, or "304 Not Modified" when `validator` (decimal seconds,
  // may be null) is not older than the file. 0 when the file cannot be opened
  // or is not a regular file (nothing sent); else 1, even when a send failed.
  int SendFile(const char* path, const char* contentType, const char* validator,
               const char* serverSuffix);

  // The MIME type of a file extension with its dot (ignoring case), or null.
  static const char* GetMimeType(const char* extension);
  // out = `time` (seconds since 1970) in UTC as "Thu, 01 Jan 1970 00:00:00 GMT".
  // 0 and out empty when the time cannot be represented.
  static int FormatHttpDate(int64_t time, koString& out);

 private:
  // What the parameters of one request may still take.
  struct ParameterBudget {
    uint32_t fields = kMaxParameters;
    uint32_t bytes = kMaxParameterBytes;
    uint32_t dropped = 0;  // pieces beyond the budget
  };
  // Checks the head bytes received since the last look for a bare line end
  // or a zero byte, up to `end`; false (head_fault_ set) on the first.
  bool CheckHeadBytes(uint32_t end);
  bool ParseHead(const char* head, uint32_t length);
  // Adds the name=value pairs of text split at '&' to the parameters while
  // the budget lasts; the pieces beyond it are only counted, so a flood
  // costs one log record and no memory.
  void AddParameters(const char* text, uint32_t length, bool trimValues, ParameterBudget* budget);
  // The bytes the body loop should ask for next.
  int64_t BodyBytesWanted(int64_t declared) const;
  // Writes the gathered bytes and then `count` more pieces, all in one
  // write; while gathering, its last bytes may wait for the close unless
  // `push`.
  int WriteGathered(const struct iovec* more, int count, bool push = false);

  koString request_;
  koMap headers_;
  koMap parameters_;
  int method_ = kMethodOther;
  koString path_;
  koString query_;  // the target after its first '?', parsed by ReadBody
  bool has_query_ = false;
  bool body_read_ = false;
  // While the head is read: how far the search for its end got, and where
  // the head ends and the body starts once it was found.
  uint32_t scanned_ = 0;
  uint32_t checked_ = 0;  // head bytes known to hold no bare line end
  const char* head_fault_ = nullptr;
  uint32_t head_length_ = 0;
  uint32_t body_start_ = 0;
  // Returned by GetParameter when the map refuses another equal name.
  koString refused_;
  // The answer's bytes not written yet, while gathering; sticky failure.
  bool gathering_ = false;
  bool send_failed_ = false;
  koString gathered_;
  // Filled by SetEnds or on the first GetEnds.
  bool ends_known_ = false;
  struct sockaddr_storage local_ = {};
  struct sockaddr_storage peer_ = {};
};

#endif  // PV_CORE_KHTTPCONNECTION_H

// The mail library's TLS network driver, on OpenSSL.
//
// The library hands "/ssl" opens to whatever driver sits in its SSL slot. Ours
// asks the application for proxy settings, lets the proxy layer open the TCP
// leg (directly or through a tunnel) and runs TLS over that stream's socket.
// Reads and writes wait with poll() so that the library's time-outs and its
// time-out callback decide how long a silent server is waited for: that is
// how a stop request ends a stalled read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "app/sync/mailext.h"
#include "core/kstring.h"

// The library's TCP stream layout must come before its master header, which
// otherwise declares the stream as void. Its headers are C that C++ reads
// only with -fno-operator-names, and they define short macros (T, NIL, min):
// they come last, in .cpp files only.
extern "C" {
#include <c-client/tcp_unix.h>
#include <c-client/c-client.h>
}

namespace {

constexpr int kBufferSize = 8192;

struct TlsStream {
  TCPSTREAM* tcp;  // owns the socket and the host names
  SSL_CTX* ctx;
  SSL* ssl;
  int fd;  // -1 once the stream failed: later calls fail at once
  int ictr;
  char* iptr;
  char ibuf[kBufferSize];
};

void LogError(const char* text) { mm_log(const_cast<char*>(text), ERROR); }

// Text of the newest OpenSSL error, or `fallback`.
void OpenSslReason(koString& out, const char* fallback) {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) {
    out.SetAs(fallback);
  } else {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    out.SetAs(text);
  }
  ERR_clear_error();
}

// A wait for the socket is cut into slices this long, so that a stop request
// (seen by the library's time-out callback) ends it within about a second.
constexpr int kSliceMs = 250;

// Waits until fd is ready for `events`. Without a time-out callback the wait
// gives up after the library's read or write time-out (none: no limit); with
// one, the callback is asked after every slice and decides: non-zero waits
// on. 1 ready, 0 give up.
int WaitReady(int fd, short events, int writing) {
  long timeout =
      reinterpret_cast<long>(mail_parameters(NIL, writing ? GET_WRITETIMEOUT : GET_READTIMEOUT, NIL));
  tcptimeout_t callback = reinterpret_cast<tcptimeout_t>(mail_parameters(NIL, GET_TIMEOUT, NIL));
  time_t start = time(nullptr);
  time_t round = start;
  for (;;) {
    struct pollfd p = {fd, events, 0};
    int r = poll(&p, 1, kSliceMs);
    if (r > 0) return 1;
    if (r < 0 && errno != EINTR) return 0;
    time_t now = time(nullptr);
    if (callback != nullptr) {
      if (!callback(static_cast<long>(now - start), static_cast<long>(now - round))) return 0;
      if (timeout > 0 && now - round >= timeout) round = now;
    } else if (timeout > 0 && now - round >= timeout) {
      return 0;
    }
  }
}

// Marks the stream dead; its socket stays open until close.
long Abort(TlsStream* s) {
  s->fd = -1;
  s->ictr = 0;
  return NIL;
}

// Waits for what OpenSSL asked for after a call that could not finish.
int WaitForSsl(TlsStream* s, int result, int writing) {
  int error = SSL_get_error(s->ssl, result);
  if (error == SSL_ERROR_WANT_READ) return WaitReady(s->fd, POLLIN, writing);
  if (error == SSL_ERROR_WANT_WRITE) return WaitReady(s->fd, POLLOUT, writing);
  return 0;
}

// Refills the input buffer; 0 when the stream is closed, failed or timed out.
long Fill(TlsStream* s) {
  while (s->ictr <= 0) {
    if (s->fd < 0) return NIL;
    int n = SSL_read(s->ssl, s->ibuf, kBufferSize);
    if (n > 0) {
      s->iptr = s->ibuf;
      s->ictr = n;
      return T;
    }
    if (!WaitForSsl(s, n, 0)) {
      ERR_clear_error();
      return Abort(s);
    }
  }
  return T;
}

// One CR LF-terminated line without its terminator, from fs_get; a lone LF
// stays inside the line. Null when the stream fails first.
char* ReadLine(TlsStream* s) {
  koString line;
  for (;;) {
    if (s->ictr <= 0 && !Fill(s)) return nullptr;
    char* lf = static_cast<char*>(memchr(s->iptr, '\n', s->ictr));
    int n = lf ? static_cast<int>(lf - s->iptr) + 1 : s->ictr;
    line.Append(s->iptr, n);
    s->iptr += n;
    s->ictr -= n;
    uint32_t len = line.GetLength();
    if (lf && len >= 2 && line.GetString()[len - 2] == '\r') {
      len -= 2;
      char* out = static_cast<char*>(fs_get(len + 1));
      memcpy(out, line.GetString(), len);
      out[len] = '\0';
      return out;
    }
  }
}

// --- the driver's operations ---

void* TlsOpen(char* host, char* service, unsigned long port);

void* TlsAopen(NETMBX*, char*, char*) { return NIL; }

char* TlsGetline(void* stream) {
  TlsStream* s = static_cast<TlsStream*>(stream);
  for (;;) {
    char* line = ReadLine(s);
    if (line == nullptr || !XlistTakeLine(line)) return line;
    fs_give(reinterpret_cast<void**>(&line));
  }
}

long TlsGetbuffer(void* stream, unsigned long size, char* buffer) {
  TlsStream* s = static_cast<TlsStream*>(stream);
  while (size > 0) {
    if (s->ictr <= 0 && !Fill(s)) return NIL;
    unsigned long n = size < static_cast<unsigned long>(s->ictr) ? size : s->ictr;
    memcpy(buffer, s->iptr, n);
    buffer += n;
    size -= n;
    s->iptr += n;
    s->ictr -= static_cast<int>(n);
  }
  // The library's callers size their buffers for this terminator.
  *buffer = '\0';
  return T;
}

long TlsSout(void* stream, char* string, unsigned long size) {
  TlsStream* s = static_cast<TlsStream*>(stream);
  while (size > 0) {
    if (s->fd < 0) return NIL;
    int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    int n = SSL_write(s->ssl, string, chunk);
    if (n > 0) {
      string += n;
      size -= n;
    } else if (!WaitForSsl(s, n, 1)) {
      ERR_clear_error();
      return Abort(s);
    }
  }
  return T;
}

long TlsSoutr(void* stream, char* string) { return TlsSout(stream, string, strlen(string)); }

void TlsClose(void* stream) {
  TlsStream* s = static_cast<TlsStream*>(stream);
  // A polite close_notify when the peer still listens; never waited for.
  if (s->fd >= 0) SSL_shutdown(s->ssl);
  ERR_clear_error();
  SSL_free(s->ssl);
  SSL_CTX_free(s->ctx);
  tcp_close(s->tcp);
  fs_give(&stream);
}

char* TlsHost(void* stream) { return tcp_host(static_cast<TlsStream*>(stream)->tcp); }
char* TlsRemotehost(void* stream) { return tcp_remotehost(static_cast<TlsStream*>(stream)->tcp); }
unsigned long TlsPort(void* stream) { return tcp_port(static_cast<TlsStream*>(stream)->tcp); }
char* TlsLocalhost(void* stream) { return tcp_localhost(static_cast<TlsStream*>(stream)->tcp); }

NETDRIVER gTlsDriver = {TlsOpen,    TlsAopen,  TlsGetline,    TlsGetbuffer, TlsSoutr, TlsSout,
                        TlsClose,   TlsHost,   TlsRemotehost, TlsPort,      TlsLocalhost};

int IsAddressLiteral(const char* host) {
  unsigned char buf[16];
  return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

// TLS over an open TCP stream; the result owns it. Null on failure (the TCP
// stream is closed then), reported unless `flags` ask for silence.
TlsStream* StartTls(TCPSTREAM* tcp, const char* host, unsigned long flags) {
  TlsStream* s = static_cast<TlsStream*>(fs_get(sizeof(TlsStream)));
  memset(s, 0, sizeof(*s));
  s->tcp = tcp;
  s->fd = tcp->tcpsi;
  // Bytes the TCP layer buffered (none after a tunnel's reply) would
  // otherwise be skipped by TLS, which reads the socket itself.
  tcp->ictr = 0;
  koString reason;
  // The library's socket would otherwise live on in the programs we start.
  fcntl(s->fd, F_SETFD, fcntl(s->fd, F_GETFD) | FD_CLOEXEC);
  int flagsOk = fcntl(s->fd, F_SETFL, fcntl(s->fd, F_GETFL) | O_NONBLOCK) == 0;
  s->ctx = SSL_CTX_new(TLS_client_method());
  if (s->ctx) s->ssl = SSL_new(s->ctx);
  if (!flagsOk || s->ctx == nullptr || s->ssl == nullptr) {
    OpenSslReason(reason, "cannot create the TLS session");
  } else {
    if (!(flags & NET_NOVALIDATECERT)) {
      SSL_CTX_set_default_verify_paths(s->ctx);
      SSL_set_verify(s->ssl, SSL_VERIFY_PEER, nullptr);
      if (IsAddressLiteral(host))
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s->ssl), host);
      else
        SSL_set1_host(s->ssl, host);
    }
    if (!IsAddressLiteral(host)) SSL_set_tlsext_host_name(s->ssl, host);
    SSL_set_fd(s->ssl, s->fd);
    for (;;) {
      int r = SSL_connect(s->ssl);
      if (r == 1) return s;
      if (!WaitForSsl(s, r, 0)) break;
    }
    long verify = SSL_get_verify_result(s->ssl);
    if (verify != X509_V_OK)
      reason.SetAs(X509_verify_cert_error_string(verify));
    else
      OpenSslReason(reason, "handshake failed or timed out");
  }
  ERR_clear_error();
  if (!(flags & NET_SILENT)) {
    koString text;
    text.Format("TLS/SSL failure for %.80s: %.512s", host, reason.GetString());
    LogError(text.GetString());
  }
  if (s->ssl) SSL_free(s->ssl);
  if (s->ctx) SSL_CTX_free(s->ctx);
  tcp_close(tcp);
  void* block = s;
  fs_give(&block);
  return nullptr;
}

void* TlsOpen(char* host, char* service, unsigned long port) {
  PROXYINFO info;
  memset(&info, 0, sizeof(info));
  if (!mm_proxysettings(&info)) {
    LogError("Could not get proxy settings");
    return NIL;
  }
  TCPSTREAM* tcp = proxy_open(&info, host, service, port);
  memset(&info, 0, sizeof(info));  // the proxy password
  if (tcp == nullptr) return NIL;
  return StartTls(tcp, host, port & ~0xffffUL);
}

}  // namespace

void InstallTlsDriver() { mail_parameters(NIL, SET_SSLDRIVER, &gTlsDriver); }

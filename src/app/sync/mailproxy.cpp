// The TCP leg of a TLS open: direct, through an HTTP proxy (CONNECT) or
// through a SOCKS5 proxy (RFC 1928, user and password by RFC 1929).
//
// Every stream comes from the library's own tcp_open and is read with its
// tcp_getdata/tcp_getbuffer, so the library's open and read time-outs and its
// time-out callback apply to the proxy exchange as well.
#include <netdb.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "app/sync/mailext.h"
#include "core/kpasswd.h"
#include "core/kstring.h"

extern "C" {
#include <c-client/tcp_unix.h>
#include <c-client/c-client.h>
}

namespace {

constexpr size_t kProxyBufferSize = 8192;
// proxy_asprintf gives up beyond this; only a broken format gets there.
constexpr size_t kFormatLimit = 16u << 20;

void LogError(const char* text) { mm_log(const_cast<char*>(text), ERROR); }

// The library's tcp_open walks an address list that its name lookup keeps in
// static storage, and the next lookup on any thread frees it: with one mail
// thread per account, opens run one at a time. Callbacks it makes take only
// ConfigMgr's data lock, which ranks after this one.
std::mutex tcp_open_lock;

TCPSTREAM* OpenTcp(char* host, char* service, unsigned long port) {
  std::lock_guard<std::mutex> hold(tcp_open_lock);
  return tcp_open(host, service, port);
}

// The request and reply buffers of one exchange; running out of memory for
// them ends the process, as the library does for its own buffers.
char* NewBuffer() {
  char* buffer = static_cast<char*>(malloc(kProxyBufferSize));
  if (buffer == nullptr) {
    mm_fatal(const_cast<char*>("Out of memory"));
    abort();
  }
  return buffer;
}

// The port the target service listens on: the service's registered port
// when there is a service and the system knows it, else the given one.
unsigned short TargetPort(const char* service, unsigned long port) {
  if (service != nullptr && *service != '\0') {
    struct servent entry;
    struct servent* found = nullptr;
    char scratch[1024];
    if (getservbyname_r(service, "tcp", &entry, scratch, sizeof(scratch), &found) == 0 && found)
      return ntohs(static_cast<unsigned short>(found->s_port));
  }
  return static_cast<unsigned short>(port & 0xffff);
}

// A tunnel's stream names the mail server, not the proxy, in the library's
// messages, in TLS and in the stream's mailbox name.
void NameTarget(TCPSTREAM* tcp, const char* host, unsigned short port) {
  if (tcp->host) fs_give(reinterpret_cast<void**>(&tcp->host));
  tcp->host = cpystr(const_cast<char*>(host));
  tcp->port = port;
}

// The proxy's own TCP connection, with the caller's open flags.
TCPSTREAM* OpenProxyLeg(PROXYINFO* info, unsigned long flags) {
  unsigned long port = static_cast<unsigned long>(info->port) & 0xffff;
  TCPSTREAM* tcp = OpenTcp(info->host, NIL, port | flags);
  if (tcp == nullptr) LogError("Could not connect to proxy");
  return tcp;
}

TCPSTREAM* HttpTunnel(PROXYINFO* info, const char* host, unsigned short port, unsigned long flags) {
  char* request;
  if (info->user[0] != '\0') {
    koString credentials;
    credentials.Format("%s:%s", info->user, info->password);
    // One unbroken line, however long the credentials: the encoder's own
    // line breaks would end the header early.
    koString encoded;
    Base64Encode(credentials, encoded, 0);
    encoded.Append("\r\n");
    request = proxy_asprintf(
        "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\nProxy-Authorization: Basic %sUser-Agent: "
        "IMAPCClient\r\n\r\n",
        host, port, info->host, info->port, encoded.GetString());
  } else {
    request = proxy_asprintf("CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: IMAPCClient\r\n\r\n", host,
                             port, info->host, info->port);
  }
  if (request == nullptr) {
    LogError("Could not create request message for proxy");
    return nullptr;
  }
  TCPSTREAM* tcp = OpenProxyLeg(info, flags);
  if (tcp == nullptr) {
    free(request);
    return nullptr;
  }
  int ok = tcp_sout(tcp, request, strlen(request)) ? 1 : 0;
  free(request);
  if (!ok) {
    LogError("Could not send request to proxy");
    tcp_close(tcp);
    return nullptr;
  }
  char* reply = NewBuffer();
  size_t length = 0;
  reply[0] = '\0';
  // memmem, not strstr: a zero byte in the reply must not hide its end.
  while (!memmem(reply, length, "\r\n\r\n", 4)) {
    if (!tcp_getdata(tcp)) {
      LogError("Could not read response from proxy");
      ok = 0;
      break;
    }
    size_t block = static_cast<size_t>(tcp->ictr);
    if (length + block + 1 > kProxyBufferSize) {
      LogError("Proxy response header is too long");
      ok = 0;
      break;
    }
    memcpy(reply + length, tcp->iptr, block);
    length += block;
    reply[length] = '\0';
    // Whatever followed the reply header is dropped with the block.
    tcp->iptr += block;
    tcp->ictr = 0;
  }
  if (ok && strncmp(reply, "HTTP/1.1 2", 10) != 0 && strncmp(reply, "HTTP/1.0 2", 10) != 0) {
    size_t line = strcspn(reply, "\r");
    koString text;
    text.Format("Proxy error: %.*s", static_cast<int>(line), reply);
    LogError(text.GetString());
    ok = 0;
  }
  free(reply);
  if (!ok) {
    tcp_close(tcp);
    return nullptr;
  }
  NameTarget(tcp, host, port);
  return tcp;
}

// Reads exactly n bytes of a SOCKS reply.
int ReadSocks(TCPSTREAM* tcp, unsigned char* buffer, unsigned long n) {
  if (tcp_getbuffer(tcp, n, reinterpret_cast<char*>(buffer))) return 1;
  LogError("Unexpected proxy connection close");
  return 0;
}

int SendSocks(TCPSTREAM* tcp, unsigned char* request, size_t n, const char* failure) {
  if (tcp_sout(tcp, reinterpret_cast<char*>(request), n)) return 1;
  LogError(failure);
  return 0;
}

// The two bytes that open each SOCKS answer: the version, then the status.
int ReadSocksStatus(TCPSTREAM* tcp, unsigned char* reply, unsigned char version,
                    const char* wrongVersion) {
  if (!ReadSocks(tcp, reply, 2)) return 0;
  if (reply[0] == version) return 1;
  LogError(wrongVersion);
  return 0;
}

const char kWrongSocksVersion[] = "Unknow proxy protocol version";

// The SOCKS exchange on an open proxy connection; 1 when the tunnel stands.
int SocksHandshake(TCPSTREAM* tcp, PROXYINFO* info, const char* host, unsigned short port,
                   unsigned char* request, unsigned char* reply) {
  int withUser = info->user[0] != '\0';
  size_t n = 0;
  request[n++] = 5;
  if (withUser) {
    request[n++] = 2;
    request[n++] = 0;  // no authentication
    request[n++] = 2;  // user name and password
  } else {
    request[n++] = 1;
    request[n++] = 0;
  }
  if (!SendSocks(tcp, request, n, "Could not send request to proxy") ||
      !ReadSocksStatus(tcp, reply, 5, kWrongSocksVersion))
    return 0;
  // Method 2 is accepted only when it was offered: without a user there is
  // nothing to authenticate with.
  if (reply[1] == 2 && withUser) {
    size_t userLength = strlen(info->user);
    size_t passwordLength = strlen(info->password);
    if (userLength >= 256) {
      LogError("Too long username");
      return 0;
    }
    if (passwordLength > 255) {
      LogError("Too long password");
      return 0;
    }
    n = 0;
    request[n++] = 1;
    request[n++] = static_cast<unsigned char>(userLength);
    memcpy(request + n, info->user, userLength);
    n += userLength;
    request[n++] = static_cast<unsigned char>(passwordLength);
    memcpy(request + n, info->password, passwordLength);
    n += passwordLength;
    int sent = SendSocks(tcp, request, n, "Error sending proxy credentials");
    memset(request, 0, n);
    if (!sent || !ReadSocksStatus(tcp, reply, 1, "Unknow SOCKS5 authentication protocol version"))
      return 0;
    if (reply[1] != 0) {
      LogError("SOCKS5 proxy authentication failure");
      return 0;
    }
  } else if (reply[1] != 0) {
    LogError("Proxy method not supported");
    return 0;
  }

  // The host goes as a name with a one-byte length: a longer one cannot be
  // sent, and cutting it would reach another host.
  size_t hostLength = strlen(host);
  if (hostLength > 255) {
    LogError("Too long hostname");
    return 0;
  }
  n = 0;
  request[n++] = 5;
  request[n++] = 1;  // CONNECT
  request[n++] = 0;
  request[n++] = 3;  // domain name
  request[n++] = static_cast<unsigned char>(hostLength);
  memcpy(request + n, host, hostLength);
  n += hostLength;
  request[n++] = static_cast<unsigned char>(port >> 8);
  request[n++] = static_cast<unsigned char>(port & 0xff);
  if (!SendSocks(tcp, request, n, "Could not send request to SOCKS5 proxy") ||
      !ReadSocksStatus(tcp, reply, 5, kWrongSocksVersion))
    return 0;
  static const char* const kReplyTexts[] = {
      "General SOCKS server failure", "Connection not allowed by ruleset", "Network unreachable",
      "Host unreachable",             "Connection refused",                "TTL expired",
      "Command not supported",        "Address type not supported"};
  int code = reply[1];
  if (code != 0) {
    if (code <= 8) {
      LogError(kReplyTexts[code - 1]);
    } else {
      koString text;
      text.Format("Unassigned error code %d", code);
      LogError(text.GetString());
    }
    return 0;
  }
  // The bound address that ends the reply: reserved byte, type, then an
  // address whose length the type (and for names its first byte) gives,
  // then the port.
  if (!ReadSocks(tcp, reply, 3)) return 0;
  unsigned long rest;
  switch (reply[1]) {
    case 1:
      rest = 5;
      break;
    case 3:
      rest = static_cast<unsigned long>(reply[2]) + 2;
      break;
    case 4:
      rest = 17;
      break;
    default:
      LogError("Proxy request failed: Unknown address type in connect reply.");
      return 0;
  }
  return ReadSocks(tcp, reply, rest);
}

TCPSTREAM* SocksTunnel(PROXYINFO* info, const char* host, unsigned short port, unsigned long flags) {
  unsigned char* request = reinterpret_cast<unsigned char*>(NewBuffer());
  unsigned char* reply = reinterpret_cast<unsigned char*>(NewBuffer());
  TCPSTREAM* tcp = OpenProxyLeg(info, flags);
  if (tcp != nullptr && !SocksHandshake(tcp, info, host, port, request, reply)) {
    tcp_close(tcp);
    tcp = nullptr;
  }
  free(request);
  free(reply);
  if (tcp != nullptr) NameTarget(tcp, host, port);
  return tcp;
}

}  // namespace

extern "C" struct tcp_stream* proxy_open(PROXYINFO* info, char* host, char* service, unsigned long port) {
  // Only the flags that concern opening a connection pass to the proxy leg.
  unsigned long flags = port & (NET_SILENT | NET_NOOPENTIMEOUT);
  switch (info->type) {
    case kProxyDirect:
      return OpenTcp(host, service, port);
    case kProxyHttp:
      return HttpTunnel(info, host, TargetPort(service, port), flags);
    case kProxySocks5:
      return SocksTunnel(info, host, TargetPort(service, port), flags);
    default:
      LogError("Proxy server type unknown or not supported");
      return nullptr;
  }
}

extern "C" char* proxy_asprintf(const char* format, ...) {
  size_t size = kProxyBufferSize;
  char* buffer = static_cast<char*>(malloc(size));
  while (buffer != nullptr) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, size, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) < size) return buffer;
    size = n < 0 ? size * 2 : static_cast<size_t>(n) + 1;
    char* larger = size <= kFormatLimit ? static_cast<char*>(realloc(buffer, size)) : nullptr;
    if (larger == nullptr) free(buffer);
    buffer = larger;
  }
  return nullptr;
}

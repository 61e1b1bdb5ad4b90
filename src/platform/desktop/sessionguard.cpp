#include "platform/desktop/sessionguard.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// One end of the connection, in the kernel's byte order (network order
// ports, addresses as stored in the socket address). IPv4 addresses sit in
// the first word; `mapped` holds the same address as an IPv4-mapped IPv6 one.
struct Endpoint {
  int family;           // AF_INET or AF_INET6
  uint32_t addr[4];     // as in sockaddr_in(6)
  uint32_t mapped[4];   // IPv6 form (an IPv4 address mapped into ::ffff:0:0/96)
  uint16_t port;        // network order
};

bool ReadEndpoint(const struct sockaddr_storage& sa, Endpoint* out) {
  memset(out, 0, sizeof *out);
  if (sa.ss_family == AF_INET) {
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(&sa);
    out->family = AF_INET;
    out->addr[0] = in->sin_addr.s_addr;
    out->port = in->sin_port;
    out->mapped[2] = htonl(0xFFFF);
    out->mapped[3] = in->sin_addr.s_addr;
    return true;
  }
  if (sa.ss_family == AF_INET6) {
    const struct sockaddr_in6* in6 = reinterpret_cast<const struct sockaddr_in6*>(&sa);
    memcpy(out->mapped, &in6->sin6_addr, 16);
    out->port = in6->sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr)) {
      out->family = AF_INET;
      out->addr[0] = out->mapped[3];
    } else {
      out->family = AF_INET6;
      memcpy(out->addr, &in6->sin6_addr, 16);
    }
    return true;
  }
  return false;
}

// One end of the connection, as getsockname or getpeername tells it.
bool ReadEnd(int handle, int (*query)(int, struct sockaddr*, socklen_t*),
             struct sockaddr_storage* out, int* error) {
  socklen_t length = sizeof *out;
  memset(out, 0, sizeof *out);
  if (query(handle, reinterpret_cast<struct sockaddr*>(out), &length) != 0) {
    *error = errno;
    return false;
  }
  return true;
}

// A TIME_WAIT remnant reports uid 0 whoever made it, and a listener would be
// some other socket that the kernel's fallback lookup found: neither tells who
// the client is.
bool UsableState(unsigned state) { return state != TCP_TIME_WAIT && state != TCP_LISTEN; }

// The calling thread's netlink socket and the number of its last query.
struct ThreadSocket {
  int fd = -1;
  uint32_t seq = 0;
  ~ThreadSocket() { Reset(-1); }
  void Reset(int handle) {
    if (fd >= 0) close(fd);
    fd = handle;
  }
};
thread_local ThreadSocket tThreadSocket;

int OpenNetlink(int* error) {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  // The kernel answers at once; the limit only guards against the unexpected.
  struct timeval limit = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Asks sock_diag for the one socket with the client's view of the connection
// in the given family. 1 found, 0 not found, -1 the request failed (errno in *error).
int AskNetlink(int family, const Endpoint& local, const Endpoint& peer, uid_t* uid, int* error) {
  ThreadSocket& own = tThreadSocket;
  if (own.fd < 0) own.fd = OpenNetlink(error);
  if (own.fd < 0) return -1;

  struct {
    struct nlmsghdr header;
    struct inet_diag_req_v2 request;
  } message;
  memset(&message, 0, sizeof message);
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = ++own.seq;
  message.request.sdiag_family = static_cast<__u8>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = peer.port;
  message.request.id.idiag_dport = local.port;
  const uint32_t* src = family == AF_INET ? peer.addr : peer.mapped;
  const uint32_t* dst = family == AF_INET ? local.addr : local.mapped;
  memcpy(message.request.id.idiag_src, src, 16);
  memcpy(message.request.id.idiag_dst, dst, 16);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  struct sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(own.fd, &message, sizeof message, 0, reinterpret_cast<struct sockaddr*>(&kernel),
                  sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof message)) {
    *error = sent < 0 ? errno : EIO;
    own.Reset(-1);  // the next lookup starts with a fresh socket
    return -1;
  }

  // An answer to an earlier query that timed out may still come first:
  // only the one that carries this query's number counts.
  alignas(struct nlmsghdr) char buffer[8192];
  for (;;) {
    ssize_t n;
    do {
      n = recv(own.fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      *error = errno;
      own.Reset(-1);
      return -1;
    }
    int length = static_cast<int>(n);
    for (struct nlmsghdr* h = reinterpret_cast<struct nlmsghdr*>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
      if (h->nlmsg_seq != own.seq) continue;
      if (h->nlmsg_type == NLMSG_ERROR) {
        const struct nlmsgerr* failure = static_cast<const struct nlmsgerr*>(NLMSG_DATA(h));
        if (h->nlmsg_len < NLMSG_LENGTH(sizeof *failure)) return -1;
        // ENOENT: no such socket, or no diag handler for the family; either
        // way the caller goes on to the next way of asking.
        if (failure->error == -ENOENT) return 0;
        *error = -failure->error;
        return -1;
      }
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY) return 0;
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(struct inet_diag_msg))) return 0;
      const struct inet_diag_msg* found = static_cast<const struct inet_diag_msg*>(NLMSG_DATA(h));
      if (found->id.idiag_sport != peer.port || found->id.idiag_dport != local.port) return 0;
      if (!UsableState(found->idiag_state)) return 0;
      *uid = static_cast<uid_t>(found->idiag_uid);
      return 1;
    }
  }
}

// Parses one kernel hex word group of /proc/net/tcp6 (four %08X words).
bool ParseHex6(const char* text, uint32_t out[4]) {
  for (int i = 0; i < 4; ++i) {
    unsigned value = 0;
    for (int k = 0; k < 8; ++k) {
      char c = text[i * 8 + k];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else {
        return false;
      }
      value = value * 16 + digit;
    }
    out[i] = value;
  }
  return true;
}

// Scans one table file. The kernel prints every address word as the native
// integer of its in-memory bytes and ports in host order, so the words
// compare directly with the socket addresses. 1 found, 0 not, -1 unreadable.
int ScanProcTable(const char* path, bool six, const Endpoint& local, const Endpoint& peer,
                  uid_t* uid, int* error) {
  FILE* file = fopen(path, "re");
  if (file == nullptr) {
    *error = errno;
    return -1;
  }
  const uint32_t* want_src = six ? peer.mapped : peer.addr;
  const uint32_t* want_dst = six ? local.mapped : local.addr;
  int words = six ? 4 : 1;
  unsigned want_sport = ntohs(peer.port);
  unsigned want_dport = ntohs(local.port);

  char line[512];
  int result = 0;
  // The first line holds the column titles.
  if (fgets(line, sizeof line, file) == nullptr) {
    *error = EIO;
    fclose(file);
    return -1;
  }
  while (result == 0 && fgets(line, sizeof line, file) != nullptr) {
    char src_text[33] = "", dst_text[33] = "";
    unsigned sport = 0, dport = 0, state = 0, owner = 0;
    // sl local rem st tx:rx tr:when retrnsmt uid
    if (sscanf(line, " %*u: %32[0-9A-Fa-f]:%x %32[0-9A-Fa-f]:%x %x %*x:%*x %*x:%*x %*x %u",
               src_text, &sport, dst_text, &dport, &state, &owner) != 6) {
      continue;
    }
    if (sport != want_sport || dport != want_dport) continue;
    uint32_t src[4] = {0, 0, 0, 0}, dst[4] = {0, 0, 0, 0};
    if (six) {
      if (strlen(src_text) != 32 || strlen(dst_text) != 32) continue;
      if (!ParseHex6(src_text, src) || !ParseHex6(dst_text, dst)) continue;
    } else {
      if (strlen(src_text) != 8 || strlen(dst_text) != 8) continue;
      src[0] = static_cast<uint32_t>(strtoul(src_text, nullptr, 16));
      dst[0] = static_cast<uint32_t>(strtoul(dst_text, nullptr, 16));
    }
    if (memcmp(src, want_src, sizeof(uint32_t) * words) != 0) continue;
    if (memcmp(dst, want_dst, sizeof(uint32_t) * words) != 0) continue;
    if (!UsableState(state)) continue;
    *uid = static_cast<uid_t>(owner);
    result = 1;
  }
  fclose(file);
  return result;
}

koPeerOwnerResult FromProc(const Endpoint& local, const Endpoint& peer, uid_t* uid, int* error) {
  int tables_read = 0;
  if (local.family == AF_INET) {
    int found = ScanProcTable("/proc/net/tcp", false, local, peer, uid, error);
    if (found == 1) return kPeerOwnerFound;
    if (found == 0) ++tables_read;
  }
  // An IPv6 client socket may talk to our IPv4 address through a mapped one.
  int found = ScanProcTable("/proc/net/tcp6", true, local, peer, uid, error);
  if (found == 1) return kPeerOwnerFound;
  if (found == 0) ++tables_read;
  if (tables_read > 0) *error = 0;
  return kPeerOwnerNotFound;
}

// With `netlink` sock_diag is asked first; the /proc tables answer otherwise.
koPeerOwnerResult LookUp(const struct sockaddr_storage& localAddress,
                         const struct sockaddr_storage& peerAddress, bool netlink, uid_t* uid,
                         int* error) {
  Endpoint local, peer;
  if (!ReadEndpoint(localAddress, &local) || !ReadEndpoint(peerAddress, &peer)) {
    *error = EAFNOSUPPORT;
    return kPeerOwnerNoAddress;
  }
  if (netlink) {
    if (local.family == AF_INET && AskNetlink(AF_INET, local, peer, uid, error) == 1)
      return kPeerOwnerFound;
    if (AskNetlink(AF_INET6, local, peer, uid, error) == 1) return kPeerOwnerFound;
  }
  return FromProc(local, peer, uid, error);
}

koPeerOwnerResult LookUpByHandle(int handle, bool netlink, uid_t* uid, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  struct sockaddr_storage local, peer;
  if (!ReadEnd(handle, getsockname, &local, error) || !ReadEnd(handle, getpeername, &peer, error))
    return kPeerOwnerNoAddress;
  return LookUp(local, peer, netlink, uid, error);
}

}  // namespace

koPeerOwnerResult koGetPeerOwner(int handle, uid_t* uid, int* error) {
  return LookUpByHandle(handle, true, uid, error);
}

koPeerOwnerResult koGetPeerOwnerFromProc(int handle, uid_t* uid, int* error) {
  return LookUpByHandle(handle, false, uid, error);
}

koPeerOwnerResult koGetPeerOwnerOf(const struct sockaddr_storage& local,
                                   const struct sockaddr_storage& peer, uid_t* uid, int* error) {
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  *error = 0;
  return LookUp(local, peer, true, uid, error);
}

int koOpenPeerOwnerSocket() {
  int ignored = 0;
  return OpenNetlink(&ignored);
}

void koAdoptPeerOwnerSocket(int handle) { tThreadSocket.Reset(handle); }

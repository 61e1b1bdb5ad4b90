// Who is at the other end of a loopback TCP connection.
//
// The web server must not hand one user's mail to another user of the same
// machine through the loopback port. The question "does the client belong to
// us" is answered by the kernel's socket table: the client's own socket of
// the connection (its local address is our peer address, its remote address
// our local one) carries the uid of the user who made it. The table is asked
// through sock_diag netlink; where that is not available (no diag module in a
// container), /proc/net/tcp and /proc/net/tcp6 are read instead.
//
// Each thread asks through a netlink socket of its own, kept for the
// thread's life (one query per lookup, no socket made per request) and
// closed when the thread ends. Otherwise no state: safe from any thread.
// Nothing here logs; the caller does.
#ifndef PV_PLATFORM_DESKTOP_SESSIONGUARD_H
#define PV_PLATFORM_DESKTOP_SESSIONGUARD_H

#include <sys/socket.h>
#include <sys/types.h>

enum koPeerOwnerResult {
  kPeerOwnerFound = 1,
  // The connection's own addresses could not be read (getsockname or
  // getpeername failed, or not an IP connection).
  kPeerOwnerNoAddress = 2,
  // Neither netlink nor /proc answered, or the client's socket is not in the
  // table (anymore), or it is only a TIME_WAIT remnant that has no owner.
  kPeerOwnerNotFound = 3,
};

// *uid (OUT) = the owner of the client socket at the other end of the
// connected TCP socket `handle`, when the result is kPeerOwnerFound.
// *error (OUT, may be null) = the errno value of the step that failed, or 0.
koPeerOwnerResult koGetPeerOwner(int handle, uid_t* uid, int* error);

// The same for a connection whose own (`local`) and client (`peer`)
// addresses are known already, as accept gives them.
koPeerOwnerResult koGetPeerOwnerOf(const struct sockaddr_storage& local,
                                   const struct sockaddr_storage& peer, uid_t* uid, int* error);

// A netlink socket for the lookups of one thread, made ahead by whoever
// starts the thread, so that its handles exist before it runs; -1 when none
// could be made (the lookup then makes one when it needs it).
int koOpenPeerOwnerSocket();
// Makes `handle` (from koOpenPeerOwnerSocket) the calling thread's lookup
// socket, replacing and closing any earlier one.
void koAdoptPeerOwnerSocket(int handle);

// The /proc fallback alone, for tests of the parser on this machine.
koPeerOwnerResult koGetPeerOwnerFromProc(int handle, uid_t* uid, int* error);

#endif  // PV_PLATFORM_DESKTOP_SESSIONGUARD_H

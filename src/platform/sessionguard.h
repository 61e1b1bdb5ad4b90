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
// No state: safe from any thread. Nothing here logs; the caller does.
#ifndef PV_PLATFORM_SESSIONGUARD_H
#define PV_PLATFORM_SESSIONGUARD_H

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

// The /proc fallback alone, for tests of the parser on this machine.
koPeerOwnerResult koGetPeerOwnerFromProc(int handle, uid_t* uid, int* error);

#endif  // PV_PLATFORM_SESSIONGUARD_H

// pvserve: runs the web server alone, for load tests.
//
//   HOME=<private folder> pvserve
//
// Starts ConfigMgr and HttpServiceMgr as the program does (the ini file in
// the data directory under HOME names the port to start at), prints
// "port <n>" once it listens, and serves until SIGINT or SIGTERM; then stops
// the server and exits 0. Exits 1 when no port could be bound.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include "app/store/configmgr.h"
#include "app/web/httpservicemgr.h"
#include "core/klog.h"
#include "core/ksocket.h"
#include "core/pathmgr.h"

namespace {

bool Reaches(int handle, int port) {
  struct sockaddr_in where;
  memset(&where, 0, sizeof where);
  where.sin_family = AF_INET;
  where.sin_port = htons(static_cast<uint16_t>(port));
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(handle, reinterpret_cast<struct sockaddr*>(&where), sizeof where) == 0;
}

}  // namespace

int main() {
  koIgnoreSigPipe();
  // Signals are taken by sigwait below, so every thread must block them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  koString dir;
  if (PathMgr::GetConfigDir(dir) == 0) {
    fprintf(stderr, "pvserve: no data directory (HOME unset?)\n");
    return 1;
  }
  koLog log(kAppVersion);
  koString path;
  path.Format("%s/postvane.log", dir.GetString());
  log.SetFileName(path);
  gLog = &log;

  gConfigMgr = new ConfigMgr();
  HttpServiceMgr* server = new HttpServiceMgr();
  server->Start();
  // The ini file names the bound port; it keeps the old one when nothing
  // could be bound, so the port is tried once.
  int port = gConfigMgr->GetPort();
  koSocket probe;
  if (port <= 0 || probe.Create() == kInvalidSocket || !Reaches(probe.GetHandle(), port)) {
    fprintf(stderr, "pvserve: the server is not listening (see %s)\n", path.GetString());
    delete server;
    delete gConfigMgr;
    return 1;
  }
  printf("port %d\n", port);
  fflush(stdout);

  int signal_number = 0;
  sigwait(&stop, &signal_number);
  delete server;
  delete gConfigMgr;
  gConfigMgr = nullptr;
  gLog = nullptr;
  return 0;
}

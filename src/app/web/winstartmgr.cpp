#include "app/web/winstartmgr.h"

#include <unistd.h>

#include <vector>

#include "app/store/configmgr.h"
#include "app/web/gui.h"
#include "app/web/servicemgr.h"
#include "core/kcurl.h"
#include "core/klog.h"
#include "core/kthread.h"
#include "core/pathmgr.h"
#include "platform/desktop/desktop.h"

namespace {

// The registration program of the browser side bar and the library it
// registers, both relative to the program's folder.
const char kRegistrationProgram[] = "pvregsvr";
const char kExtensionLibrary[] = "../extension/msie/IEPostvane.dll";

}  // namespace

WinStartMgr::~WinStartMgr() { delete shutdown_event_; }

int WinStartMgr::CreateMainWindow() {
  if (!koRegisterWindowClass(kMainWindowClass, WindowProc, DiscardMessage)) {
    KO_LOG(-1, "Window Registration Failed!");
    KO_LOG(-1, "RegisterMainWindow");
    return 0;
  }
  main_window_ = koCreateWindow(kMainWindowClass, this);
  if (main_window_ == 0) {
    KO_LOG(-1, "Window Creation Failed!");
    return 0;
  }
  // The window has no visible form: it is hidden from the start.
  return 1;
}

void WinStartMgr::DiscardMessage(uint32_t message, uintptr_t wparam, intptr_t) {
  if (IsPathMessage(message)) delete reinterpret_cast<koString*>(wparam);
}

intptr_t WinStartMgr::WindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                                 intptr_t lparam) {
  if (message == kMsgNcCreate) {
    WinStartMgr* self = reinterpret_cast<WinStartMgr*>(lparam);
    self->main_window_ = window;
    koSetWindowData(window, self);
    // Known before the services start, so a request handled during start-up
    // already reaches the window.
    gMainWindow = window;
    return 1;
  }
  WinStartMgr* self = static_cast<WinStartMgr*>(koGetWindowData(window));
  if (self == nullptr) return koDefWindowProc(window, message, wparam, lparam);
  // There is no visible window to bring forward before an action: the
  // started program comes up on the desktop by itself.
  switch (message) {
    case kMsgCreate:
      self->OnCreate();
      return 0;
    case kMsgTrayNotify:
      return gSystemTray.OnTrayNotification(wparam, lparam);
    case kMsgOpenFile:
    case kMsgLocateFile:
    case kMsgCopyPath:
    case kMsgOpenWith: {
      koString* path = reinterpret_cast<koString*>(wparam);
      if (path == nullptr) return 0;
      if (message == kMsgOpenFile) self->OnOpenFile(path->GetString());
      if (message == kMsgLocateFile) self->OnLocateFile(path->GetString());
      if (message == kMsgCopyPath) self->OnCopyPath(path->GetString());
      if (message == kMsgOpenWith) self->OnOpenWith(path->GetString());
      delete path;
      return 0;
    }
    case kMsgRegisterExtension:
      return self->OnRegisterExtension(wparam != 0 ? 1 : 0);
    case kMsgCommand:
      self->OnCommand(static_cast<uint32_t>(wparam & 0xFFFF));
      return 0;
    case kMsgClose:
      self->Shutdown();
      return 0;
    case kMsgDestroy:
      koPostQuitMessage(0);
      return 0;
    default:
      return koDefWindowProc(window, message, wparam, lparam);
  }
}

void WinStartMgr::OnCreate() {
  if (!koCurl::GlobalInit()) KO_LOG(-1, "curl_global_init");
  gConfigMgr->LoadSystemUuid();
  ServiceMgr::StartServices();
  int changed = 0;
  gConfigMgr->CheckAppVersion(changed);
  if (changed) OpenLink("initialize.html", 0);
}

void WinStartMgr::OpenLink(const char* page, int full_address) {
  koString address;
  if (full_address) {
    address.SetAs(page);
  } else {
    // Only a link asked for after shut-down began finds no ConfigMgr.
    int port = gConfigMgr != nullptr ? gConfigMgr->GetPort() : 0;
    if (port == 0) {
      KO_LOG(-1, "GetPort");
      return;
    }
    address.Format("http://127.0.0.1:%d/%s", port, page);
  }
  int err = 0;
  if (!koDesktopOpen(address.GetString(), &err)) {
    koString message;
    message.Format("Failed to open link %s", address.GetString());
    KO_LOG(-1, message.GetString());
  }
}

void WinStartMgr::OpenPage(const char* page) {
  koString link;
  link.Format("%s?t=%u", page, static_cast<unsigned>(koIntervalNow()));
  OpenLink(link.GetString(), 0);
}

void WinStartMgr::OnCommand(uint32_t command) {
  switch (command) {
    case kCmdLaunch:
      OpenPage("index.html");
      break;
    case kCmdPreferences:
      OpenPage("preferences.html");
      break;
    case kCmdHelp:
      OpenPage("help.html");
      break;
    case kCmdOpenAttachments: {
      koString folder;
      if (!PathMgr::GetAttachmentsDir(folder)) {
        KO_LOG(-1, "GetAttachmentsDir");
        break;
      }
      const char* argv[] = {"xdg-open", folder.GetString(), nullptr};
      if (!StartProgram(argv)) KO_LOG(-1, "OpenApplicationWithExplorerToken");
      break;
    }
    case kCmdExit:
      // libcurl is cleaned up only once nothing can use it any more.
      if (Shutdown() && !ServiceMgr::RequestsOutlived()) koCurl::GlobalCleanup();
      break;
    default:
      break;
  }
}

int WinStartMgr::StartProgram(const char* const* argv) {
  int err = 0;
  if (koStartDetached(argv, nullptr, &err)) return 1;
  KO_LOG(err, "CreateProcess");
  return 0;
}

// The association's four outcomes: no default application, a bare program
// (run with the path as its only argument), an entry without a usable
// command, and a command line with the path put in.
void WinStartMgr::OnOpenFile(const char* path) {
  koString id;
  koString exec;
  std::vector<koString> words;
  int open_with = 0;
  if (!koQueryDefaultApp(path, id, nullptr)) {
    open_with = 1;
  } else if (!koReadDesktopExec(id.GetString(), exec) || !koExpandExec(exec.GetString(), path, words)) {
    open_with = 1;
  }
  int started;
  if (open_with) {
    int err = 0;
    started = koDesktopOpenWith(path, &err);
    if (!started) KO_LOG(err, "CreateProcess");
  } else {
    std::vector<const char*> argv;
    for (const koString& w : words) argv.push_back(w.GetString());
    argv.push_back(nullptr);
    started = StartProgram(argv.data());
  }
  if (!started) {
    KO_LOG(-1, "OpenApplicationWithExplorerToken");
    KO_LOG(-1, "OpenFileInForeground");
  }
}

void WinStartMgr::OnLocateFile(const char* path) {
  int err = 0;
  if (!koDesktopShowItem(path, &err)) {
    KO_LOG(err, "CreateProcess");
    KO_LOG(-1, "OpenApplicationWithExplorerToken");
  }
}

void WinStartMgr::OnCopyPath(const char* path) {
  int err = 0;
  if (!koDesktopCopyText(path, &err)) KO_LOG(err, "SetClipboardData");
}

void WinStartMgr::OnOpenWith(const char* path) {
  int err = 0;
  if (!koDesktopOpenWith(path, &err)) {
    KO_LOG(err, "CreateProcess");
    KO_LOG(-1, "OpenApplicationWithExplorerToken");
  }
}

int WinStartMgr::OnRegisterExtension(int do_register) {
  koString folder;
  if (!PathMgr::GetExeDir(folder)) {
    KO_LOG(-1, "GetExeDir");
    return 0;
  }
  koString program(folder.GetString());
  program += kRegistrationProgram;
  koString library(folder.GetString());
  library += kExtensionLibrary;
  std::vector<const char*> argv{program.GetString(), "/s"};
  if (!do_register) argv.push_back("/u");
  argv.push_back(library.GetString());
  argv.push_back("runasadmin");
  argv.push_back(nullptr);
  int err = 0;
  if (!koStartElevated(argv.data(), &err)) {
    KO_LOG(err, "ShellExecuteEx failed");
    return 0;
  }
  return 1;
}

void WinStartMgr::ShutdownThread(void* arg) {
  WinStartMgr* self = static_cast<WinStartMgr*>(arg);
  ServiceMgr::StopAllServices();
  self->shutdown_event_->Set();
}

int WinStartMgr::Shutdown() {
  // A second request (another signal, Exit after Close) finds it running.
  if (shutting_down_) return 0;
  shutting_down_ = 1;
  shutdown_event_ = new koEvent();
  koThread thread;
  if (!thread.Create(PR_USER_THREAD, ShutdownThread, this, PR_PRIORITY_NORMAL, PR_GLOBAL_THREAD,
                     PR_UNJOINABLE_THREAD, 0)) {
    KO_LOG(-1, "Create shutdown thread");
    ShutdownThread(this);
  }
  if (!shutdown_event_->Wait(kShutdownWaitMs)) _exit(0);
  delete shutdown_event_;
  shutdown_event_ = nullptr;
  koDestroyWindow(main_window_);
  return 1;
}

#include "app/web/mainwindow.h"

koWindowId gMainWindow = 0;

bool IsPathMessage(uint32_t message) { return message >= kMsgOpenFile && message <= kMsgOpenWith; }

int PostPathToMainWindow(uint32_t message, koString* path) {
  if (!IsPathMessage(message)) {
    delete path;
    return 0;
  }
  int posted = koPostMessage(gMainWindow, message, reinterpret_cast<uintptr_t>(path), 0);
  // 0: the window is gone and its discard hook freed the string already.
  if (posted < 0) delete path;
  return posted == 1 ? 1 : 0;
}

int RegisterExtensionThroughMainWindow(int install) {
  if (gMainWindow == 0) return 0;
  return koSendMessage(gMainWindow, kMsgRegisterExtension, install ? 1 : 0, 0) != 0 ? 1 : 0;
}

// The program with the recording tray back-end, for tests that play the
// user and the request handlers. It reads one command per line on standard
// input and answers each with one line on standard output:
//   right-click            -> "menu <default index> <text>|<text>|..." ("" = separator)
//   double-click           -> "ok"
//   host-restart           -> "adds <number of adds so far>"
//   tooltip                -> "tooltip <the icon's tooltip>"
//   choose <command>       -> "ok"
//   post <n> <path>        -> "posted <result>"   (message kMsgApp + n, a heap path)
//   send <n> <wparam>      -> "answer <result>"   (message kMsgApp + n, from this thread)
// and "exit <code>" when the program's main returns. With PV_PROBE_FAIL_TRAY
// set, the tray refuses to add the icon.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "app/web/gui.h"
#include "app/web/winstartmgr.h"
#include "platform/desktop/signals.h"

namespace {

koRecordingTray* tray = nullptr;  // never deleted: the reader may outlive main

void Answer(const std::string& line) {
  printf("%s\n", line.c_str());
  fflush(stdout);
}

template <class Done>
bool WaitFor(Done done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

void ReadCommands() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    // Clicks need the icon, which is shown once start-up got that far.
    WaitFor([] { return tray->Shown() || gMainWindow == 0; });
    if (word == "right-click") {
      int before = tray->MenuCount();
      tray->Click(kTrayRightButtonUp);
      WaitFor([before] { return tray->MenuCount() > before; });
      koRecordingTray::Menu menu = tray->LastMenu();
      std::string texts;
      for (const std::string& t : menu.texts) texts += t + "|";
      Answer("menu " + std::to_string(menu.default_item) + " " + texts);
    } else if (word == "tooltip") {
      Answer("tooltip " + tray->Tooltip());
    } else if (word == "double-click") {
      tray->Click(kTrayLeftDoubleClick);
      Answer("ok");
    } else if (word == "host-restart") {
      int before = tray->AddCount();
      tray->RestartHost();
      WaitFor([before] { return tray->AddCount() > before; });
      Answer("adds " + std::to_string(tray->AddCount()));
    } else if (word == "choose") {
      uint32_t command = 0;
      in >> command;
      tray->Choose(command);
      Answer("ok");
    } else if (word == "post") {
      uint32_t n = 0;
      in >> n;
      std::string path;
      std::getline(in >> std::ws, path);
      Answer("posted " + std::to_string(PostPathToMainWindow(kMsgApp + n, new koString(path.c_str()))));
    } else if (word == "send") {
      uint32_t n = 0;
      uintptr_t wparam = 0;
      in >> n >> wparam;
      Answer("answer " + std::to_string(koSendMessage(gMainWindow, kMsgApp + n, wparam, 0)));
    } else {
      Answer("unknown");
    }
  }
}

}  // namespace

int main() {
  koBlockTermSignals();  // the reader thread must not take them either
  tray = new koRecordingTray;
  // The desktop refuses the icon.
  if (getenv("PV_PROBE_FAIL_TRAY") != nullptr) tray->FailNextAdd();
  std::thread(ReadCommands).detach();
  int code = PostvaneMain(tray);
  Answer("exit " + std::to_string(code));
  return code;
}

#include "platform/desktop/window.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/os/thread_id.h"

namespace {

struct WindowClass {
  koWindowProc proc;
  koMessageDiscard discard;
};

struct Posted {
  uint64_t seq;  // the loop takes its windows' messages in posting order
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

// Lives on the sender's stack until done is set.
struct Sent {
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
  intptr_t result = 0;
  bool done = false;
};

struct Window {
  const WindowClass* cls;
  uint32_t owner;  // thread id
  void* data = nullptr;
  bool alive = true;
  bool destroying = false;
  bool visible = false;
  std::deque<Posted> posted;
  std::deque<Sent*> sent;
};

struct QuitRequest {
  bool asked = false;
  int code = 0;
};

struct Registry {
  std::mutex lock;
  // Every change that a loop or a sender may wait for is announced here.
  std::condition_variable changed;
  std::map<std::string, std::unique_ptr<WindowClass>> classes;
  std::map<std::string, uint32_t> messages;
  uint32_t next_message = 0xC000;
  // Gone windows stay as tombstones so that late posts still reach the discard hook.
  std::unordered_map<koWindowId, std::unique_ptr<Window>> windows;
  std::unordered_map<uint32_t, QuitRequest> quits;
  std::unordered_map<uint32_t, koWindowId> focus;  // by thread id
  koWindowId next_id = 1;
  uint64_t next_seq = 1;
};

// Never destroyed: other threads may still post while the process exits.
Registry& Reg() {
  static Registry* registry = new Registry;
  return *registry;
}

Window* FindLocked(koWindowId id) {
  auto it = Reg().windows.find(id);
  return it == Reg().windows.end() ? nullptr : it->second.get();
}

// Makes the window a tombstone: senders still waiting get 0 (their result is
// never set), and what was posted but not taken goes to the discard hook.
// Called without the lock.
void Retire(koWindowId id) {
  std::deque<Posted> left;
  koMessageDiscard discard;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    Window* window = FindLocked(id);
    window->alive = false;
    window->data = nullptr;
    left.swap(window->posted);
    discard = window->cls->discard;
    for (Sent* s : window->sent) s->done = true;
    window->sent.clear();
  }
  Reg().changed.notify_all();
  if (discard != nullptr)
    for (const Posted& p : left) discard(p.message, p.wparam, p.lparam);
}

}  // namespace

int koRegisterWindowClass(const char* name, koWindowProc proc, koMessageDiscard discard) {
  if (name == nullptr || *name == 0 || proc == nullptr) return 0;
  std::lock_guard<std::mutex> hold(Reg().lock);
  auto it = Reg().classes.find(name);
  if (it != Reg().classes.end())
    return it->second->proc == proc && it->second->discard == discard ? 1 : 0;
  Reg().classes[name] = std::unique_ptr<WindowClass>(new WindowClass{proc, discard});
  return 1;
}

uint32_t koRegisterWindowMessage(const char* name) {
  if (name == nullptr || *name == 0) return 0;
  std::lock_guard<std::mutex> hold(Reg().lock);
  auto it = Reg().messages.find(name);
  if (it != Reg().messages.end()) return it->second;
  if (Reg().next_message > 0xFFFF) return 0;
  uint32_t number = Reg().next_message++;
  Reg().messages[name] = number;
  return number;
}

koWindowId koCreateWindow(const char* class_name, void* create_param) {
  if (class_name == nullptr) return 0;
  koWindowId id;
  koWindowProc proc;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    auto it = Reg().classes.find(class_name);
    if (it == Reg().classes.end()) return 0;
    id = Reg().next_id++;
    std::unique_ptr<Window> window(new Window);
    window->cls = it->second.get();
    window->owner = koCurrentThreadId();
    proc = window->cls->proc;
    Reg().windows[id] = std::move(window);
  }
  if (proc(id, kMsgNcCreate, 0, reinterpret_cast<intptr_t>(create_param)) == 0) {
    // Refused before it was created: no kMsgDestroy, but what was posted
    // meanwhile still goes to the hook.
    Retire(id);
    return 0;
  }
  if (proc(id, kMsgCreate, 0, reinterpret_cast<intptr_t>(create_param)) == -1) {
    koDestroyWindow(id);
    return 0;
  }
  return id;
}

int koDestroyWindow(koWindowId id) {
  koWindowProc proc;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    Window* window = FindLocked(id);
    if (window == nullptr || !window->alive || window->destroying) return 0;
    if (window->owner != koCurrentThreadId()) return 0;
    window->destroying = true;
    proc = window->cls->proc;
  }
  proc(id, kMsgDestroy, 0, 0);
  Retire(id);
  return 1;
}

int koIsWindow(koWindowId id) {
  std::lock_guard<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  return window != nullptr && window->alive ? 1 : 0;
}

int koShowWindow(koWindowId id, int show) {
  std::lock_guard<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  if (window == nullptr || !window->alive) return 0;
  int was = window->visible ? 1 : 0;
  window->visible = show != 0;
  return was;
}

int koIsWindowVisible(koWindowId id) {
  std::lock_guard<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  return window != nullptr && window->alive && window->visible ? 1 : 0;
}

koWindowId koGetFocus() {
  std::lock_guard<std::mutex> hold(Reg().lock);
  auto it = Reg().focus.find(koCurrentThreadId());
  if (it == Reg().focus.end()) return 0;
  Window* window = FindLocked(it->second);
  return window != nullptr && window->alive ? it->second : 0;
}

koWindowId koSetFocus(koWindowId id) {
  koWindowId old = koGetFocus();
  if (!koIsWindow(id)) id = 0;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    Reg().focus[koCurrentThreadId()] = id;
  }
  if (old != id) {
    if (old != 0) koSendMessage(old, kMsgKillFocus, id, 0);
    if (id != 0) koSendMessage(id, kMsgSetFocus, old, 0);
  }
  return old;
}

void koSetWindowData(koWindowId id, void* data) {
  std::lock_guard<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  if (window != nullptr && window->alive) window->data = data;
}

void* koGetWindowData(koWindowId id) {
  std::lock_guard<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  return window != nullptr && window->alive ? window->data : nullptr;
}

int koPostMessage(koWindowId id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  koMessageDiscard discard;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    Window* window = FindLocked(id);
    if (window == nullptr) return -1;
    if (window->alive) {
      window->posted.push_back(Posted{Reg().next_seq++, message, wparam, lparam});
      Reg().changed.notify_all();
      return 1;
    }
    discard = window->cls->discard;
  }
  if (discard != nullptr) discard(message, wparam, lparam);
  return 0;
}

intptr_t koSendMessage(koWindowId id, uint32_t message, uintptr_t wparam, intptr_t lparam) {
  std::unique_lock<std::mutex> hold(Reg().lock);
  Window* window = FindLocked(id);
  if (window == nullptr || !window->alive) return 0;
  if (window->owner == koCurrentThreadId()) {
    koWindowProc proc = window->cls->proc;
    hold.unlock();
    return proc(id, message, wparam, lparam);
  }
  Sent sent{message, wparam, lparam};
  window->sent.push_back(&sent);
  Reg().changed.notify_all();
  Reg().changed.wait(hold, [&sent] { return sent.done; });
  return sent.result;
}

void koPostQuitMessage(int code) {
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    QuitRequest& quit = Reg().quits[koCurrentThreadId()];
    quit.asked = true;
    quit.code = code;
  }
  Reg().changed.notify_all();
}

int koGetMessage(koMessage* out) {
  const uint32_t me = koCurrentThreadId();
  std::unique_lock<std::mutex> hold(Reg().lock);
  for (;;) {
    // Sent messages are answered first and never returned.
    Sent* sent = nullptr;
    koWindowId sent_to = 0;
    koWindowProc sent_proc = nullptr;
    Window* oldest = nullptr;
    koWindowId oldest_id = 0;
    for (auto& [id, window] : Reg().windows) {
      if (!window->alive || window->owner != me) continue;
      if (!window->sent.empty()) {
        sent = window->sent.front();
        window->sent.pop_front();
        sent_to = id;
        sent_proc = window->cls->proc;
        break;
      }
      if (!window->posted.empty() &&
          (oldest == nullptr || window->posted.front().seq < oldest->posted.front().seq)) {
        oldest = window.get();
        oldest_id = id;
      }
    }
    if (sent != nullptr) {
      hold.unlock();
      intptr_t result = sent_proc(sent_to, sent->message, sent->wparam, sent->lparam);
      hold.lock();
      sent->result = result;
      sent->done = true;
      Reg().changed.notify_all();
      continue;
    }
    if (oldest != nullptr) {
      const Posted p = oldest->posted.front();
      oldest->posted.pop_front();
      out->window = oldest_id;
      out->message = p.message;
      out->wparam = p.wparam;
      out->lparam = p.lparam;
      return 1;
    }
    auto quit = Reg().quits.find(me);
    if (quit != Reg().quits.end() && quit->second.asked) {
      out->window = 0;
      out->message = kMsgNull;
      out->wparam = static_cast<uintptr_t>(quit->second.code);
      out->lparam = 0;
      Reg().quits.erase(quit);
      return 0;
    }
    Reg().changed.wait(hold);
  }
}

intptr_t koDispatchMessage(const koMessage* msg) {
  koWindowProc proc = nullptr;
  koMessageDiscard discard = nullptr;
  {
    std::lock_guard<std::mutex> hold(Reg().lock);
    Window* window = FindLocked(msg->window);
    if (window == nullptr) return 0;
    if (window->alive)
      proc = window->cls->proc;
    else
      discard = window->cls->discard;
  }
  if (proc != nullptr) return proc(msg->window, msg->message, msg->wparam, msg->lparam);
  if (discard != nullptr) discard(msg->message, msg->wparam, msg->lparam);
  return 0;
}

intptr_t koDefWindowProc(koWindowId window, uint32_t message, uintptr_t, intptr_t) {
  if (message == kMsgNcCreate) return 1;
  if (message == kMsgClose) koDestroyWindow(window);
  return 0;
}

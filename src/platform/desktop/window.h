// Windows and their message queues, in process.
//
// The desktop shell of the program is a hidden main window that other threads
// reach only by messages. This registry keeps that contract without a window
// system: a window is a procedure with a queue, owned by the thread that made
// it; posting queues a message, sending waits for the owner's answer, and the
// owner's message loop (koGetMessage + koDispatchMessage) runs both.
//
// Ids are never reused, so an id kept after its window is gone names nothing
// rather than a new window. Messages posted to a window that is gone, or still
// queued when it is destroyed, go to the class's discard hook, which frees
// what they carry: a receiver that owns a posted payload thus owns it even
// when it never sees the message.
//
// Thread-safety: every function may be called from any thread, except that
// koCreateWindow makes the calling thread the owner, and koDestroyWindow,
// koGetMessage and koDispatchMessage belong to the owner's thread. No lock is
// held while a window procedure or a discard hook runs, so they may post,
// send and destroy freely.
#ifndef PV_PLATFORM_DESKTOP_WINDOW_H
#define PV_PLATFORM_DESKTOP_WINDOW_H

#include <cstdint>

typedef uint32_t koWindowId;  // 0 names no window

// Message numbers; the values are the contract's, shared with every sender.
enum : uint32_t {
  kMsgNull = 0x0000,
  kMsgCreate = 0x0001,    // lParam: the creation parameter
  kMsgDestroy = 0x0002,
  kMsgSetFocus = 0x0007,  // wParam: the window that lost the focus (0: none)
  kMsgKillFocus = 0x0008,  // wParam: the window that gets it (0: none)
  kMsgClose = 0x0010,
  kMsgNcCreate = 0x0081,  // lParam: the creation parameter; answer 0 refuses
  kMsgCommand = 0x0111,   // low 16 bits of wParam: the command id
  kMsgParentNotify = 0x0210,  // something happened in a child of the window
  kMsgApp = 0x8000,       // the first number free for the program's own use
};

struct koMessage {
  koWindowId window;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

typedef intptr_t (*koWindowProc)(koWindowId window, uint32_t message, uintptr_t wparam,
                                 intptr_t lparam);
// Frees what an undelivered posted message carries. Runs on whichever thread
// found it undeliverable.
typedef void (*koMessageDiscard)(uint32_t message, uintptr_t wparam, intptr_t lparam);

// Registers a window class. Registering a name again with the same procedure
// and hook is harmless (1); with others it fails (0). discard may be null.
int koRegisterWindowClass(const char* name, koWindowProc proc, koMessageDiscard discard);

// A message number from 0xC000 up that is the same for every caller of the
// same name in this process; 0 for an empty name.
uint32_t koRegisterWindowMessage(const char* name);

// Makes a window of the class, owned by the calling thread. Its procedure
// gets kMsgNcCreate and then kMsgCreate, both with create_param as lParam,
// before this returns. 0 when the class is unknown, kMsgNcCreate answered 0
// or kMsgCreate answered -1 (then the window got kMsgDestroy and is gone).
koWindowId koCreateWindow(const char* class_name, void* create_param);

// On the owner's thread: the procedure gets kMsgDestroy, then the window is
// gone: queued posts go to the discard hook and waiting senders get 0.
// 0 when the window does not exist or the caller is not its owner.
int koDestroyWindow(koWindowId window);

// 1 while the window exists.
int koIsWindow(koWindowId window);

// Shows (show != 0) or hides the window; windows start hidden. 1 when it
// was visible before, 0 when not or when it does not exist.
int koShowWindow(koWindowId window, int show);
int koIsWindowVisible(koWindowId window);

// The keyboard focus of the calling thread. koSetFocus moves it to window (0:
// nowhere; a window that does not exist counts as 0); the window that had it
// gets kMsgKillFocus, then the new one kMsgSetFocus, both sent. Answers the
// window that had it. A destroyed window loses the focus.
koWindowId koSetFocus(koWindowId window);
koWindowId koGetFocus();

// A pointer kept with the window for its procedure (null at first).
// Setting on a window that is gone does nothing.
void koSetWindowData(koWindowId window, void* data);
void* koGetWindowData(koWindowId window);

// Queues the message for the window's owner and returns 1. When the window
// is gone the discard hook gets the message at once and the answer is 0;
// an id that never named a window answers -1 and nothing is freed (the
// caller still owns what the message carries).
int koPostMessage(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam);

// Runs the window procedure with the message and answers its result: at
// once on the owner's thread, else on the owner's thread inside its message
// loop while the caller waits. 0 when the window does not exist or is
// destroyed before the owner got to the message.
intptr_t koSendMessage(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam);

// Asks the calling thread's message loop to end with code: koGetMessage
// answers 0 once no message for this thread's windows is waiting.
void koPostQuitMessage(int code);

// On a window owner's thread: runs the messages sent to its windows, then
// waits for a posted one. 1 with the message in *out, or 0 for the quit
// request (out->wparam = its code).
int koGetMessage(koMessage* out);

// Hands a message from koGetMessage to its window's procedure and answers
// the result; a window destroyed meanwhile gets nothing (the discard hook
// gets the message) and the answer is 0.
intptr_t koDispatchMessage(const koMessage* msg);

// The default procedure: kMsgNcCreate answers 1 (creation goes on),
// kMsgClose destroys the window, anything else answers 0.
intptr_t koDefWindowProc(koWindowId window, uint32_t message, uintptr_t wparam, intptr_t lparam);

#endif  // PV_PLATFORM_DESKTOP_WINDOW_H

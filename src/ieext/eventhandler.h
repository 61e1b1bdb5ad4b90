// EventHandler: a minimal dispatch object that a page calls as an event
// handler; each call runs the callback with the context it was made with.
//
// The count starts at 0: whoever attaches it takes the first reference.
// Detach cuts it from its context, so a page that keeps the handler beyond
// the context's life calls nothing. One thread (the browser's user-interface
// thread); counts are atomic.
#ifndef PV_IEEXT_EVENTHANDLER_H
#define PV_IEEXT_EVENTHANDLER_H

#include "core/kstring.h"
#include "ieext/comobject.h"
#include "platform/os/browser.h"

class EventHandler final : public IDispatch {
 public:
  typedef void (*Callback)(VARIANT* result, void* context, const koString& name, int extra);

  EventHandler(Callback callback, void* context, const char* name, int extra);
  EventHandler(const EventHandler&) = delete;
  EventHandler& operator=(const EventHandler&) = delete;

  PV_IUNKNOWN_METHODS
  // DISPID_VALUE runs the callback; S_OK.
  PV_IDISPATCH_METHODS

  void Detach() { context_ = nullptr; }

 private:
  ~EventHandler() = default;

  Callback callback_;
  void* context_;
  koRefCount refs_;
  koString name_;
  int extra_;
};

#endif  // PV_IEEXT_EVENTHANDLER_H

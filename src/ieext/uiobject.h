// CUIIEExtensionObj: window.external of the side bar's own pages. The start
// page asks it where to go (the program's extension page, or the page that
// waits for the program), the waiting page asks again, and the bar hands
// the extension page the address of the conversation in view through it.
//
// Made and owned by the side bar (CIEExtensionObj), which gives it to its
// browser control; lives on the browser's user-interface thread, counts are
// atomic. A live object holds a lock on the library. Nothing is logged.
#ifndef PV_IEEXT_UIOBJECT_H
#define PV_IEEXT_UIOBJECT_H

#include "core/kstring.h"
#include "ieext/comobject.h"
#include "platform/os/browser.h"

// The dual interface: LoadPostvane and Retry through Invoke.
struct IUIIEExtensionObj : IDispatch {
 protected:
  ~IUIIEExtensionObj() = default;
};

class CUIIEExtensionObj final : public IUIIEExtensionObj {
 public:
  CUIIEExtensionObj();  // count 0
  CUIIEExtensionObj(const CUIIEExtensionObj&) = delete;
  CUIIEExtensionObj& operator=(const CUIIEExtensionObj&) = delete;

  PV_IUNKNOWN_METHODS

  // Names as the type library gives them, in any letter case; Invoke runs
  // LoadPostvane and Retry, each with the page's window as its one argument.
  PV_IDISPATCH_METHODS

  // Sends the page window to the program's extension page (with the time,
  // so that no cached copy shows) while the program runs, else to the
  // waiting page; keeps the window. S_OK always.
  HRESULT LoadPostvane(IDispatch* page_window);
  // Sends it to the extension page (without the time) once the program runs;
  // nothing before. S_OK always.
  HRESULT Retry(IDispatch* page_window);
  // Keeps the browser (no reference is taken); null forgets it and answers S_FALSE.
  HRESULT SetWebBrowser(IWebBrowser2* browser);
  // Runs pvwidget.HandleContextChange with the text, as a script string
  // literal, on the kept page window. S_FALSE without one.
  HRESULT HandleContextChange(const char* text);
  // Lets go of the page window (the bar closes).
  void Detach();

  // The program's port from the shared ini file: 40000 when it is missing or
  // not a port, -1 when no data directory can be had.
  static int GetServerPort();
  // 1 while the program runs (its main window's rendezvous is held).
  static int ProgramRuns();
  // "pvwidget.HandleContextChange('<text>');" with the text escaped so that
  // the script sees exactly the text and nothing else runs.
  static void ContextScript(const char* text, koString& out);

 private:
  ~CUIIEExtensionObj();  // through Release only
  // Navigates the page window to the extension page and keeps it.
  void ShowExtensionPage(IHTMLWindow2* window, bool with_time);
  void Keep(IHTMLWindow2* window);

  koRefCount refs_;
  IWebBrowser2* browser_ = nullptr;       // not counted
  IHTMLWindow2* page_window_ = nullptr;   // counted
};

#endif  // PV_IEEXT_UIOBJECT_H

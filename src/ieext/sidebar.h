// CIEExtensionObj: the side bar, a vertical band of the browser window that
// hosts a browser control showing the program's extension page (or its own
// pages while the program does not run), and that watches the pages the
// browser window loads: on the web-mail host it puts its page script into
// the page and hands the address of the conversation in view to the
// extension page (the hooks are in pagehooks.cpp).
//
// The browser makes it through the library's class object and talks to it
// on its user-interface thread; counts are atomic. A live bar holds a lock
// on the library. The bar's window belongs to the in-process window layer
// of the library's own copy. Nothing is logged.
//
// References: the bar holds its site's focus interface, the browser window
// and its event connection until the browser quits (DISPID_QUIT), the
// cached page documents until then too, and its control, the control's host
// and the window.external object until its window is destroyed.
#ifndef PV_IEEXT_SIDEBAR_H
#define PV_IEEXT_SIDEBAR_H

#include <vector>

#include "core/kstring.h"
#include "ieext/comobject.h"
#include "ieext/eventhandler.h"
#include "ieext/uiobject.h"
#include "platform/os/browser.h"

// The dual interface; no methods of its own. Its Invoke hears the browser's events.
struct IIEExtensionObj : IDispatch {
 protected:
  ~IIEExtensionObj() = default;
};

class CIEExtensionObj final : public IIEExtensionObj,
                              public IObjectWithSite,
                              public IDeskBand,
                              public IInputObject,
                              public IPersistStreamInit {
 public:
  CIEExtensionObj();
  CIEExtensionObj(const CIEExtensionObj&) = delete;
  CIEExtensionObj& operator=(const CIEExtensionObj&) = delete;

  // The class object's creator: a new bar queried for iid.
  static HRESULT Create(REFIID iid, void** out);

  PV_IUNKNOWN_METHODS

  // Browser events: DISPID_DOCUMENTCOMPLETE and DISPID_QUIT (see pagehooks.cpp).
  PV_IDISPATCH_METHODS

  HRESULT SetSite(IUnknown* site) override;
  HRESULT GetSite(REFIID iid, void** out) override;

  HRESULT GetWindow(koWindowId* window) override;
  HRESULT ContextSensitiveHelp(int enter) override;
  HRESULT ShowDW(int show) override;
  HRESULT CloseDW(uint32_t reserved) override;
  HRESULT ResizeBorderDW(const RECT* border, IUnknown* site, int reserved) override;
  HRESULT GetBandInfo(uint32_t band_id, uint32_t view_mode, DESKBANDINFO* info) override;

  HRESULT UIActivateIO(int activate, MSG* message) override;
  HRESULT HasFocusIO() override;
  HRESULT TranslateAcceleratorIO(MSG* message) override;

  // Nothing of the bar is kept between sessions.
  HRESULT GetClassID(CLSID* clsid) override;
  HRESULT IsDirty() override;
  HRESULT Load(IStream* stream) override;
  HRESULT Save(IStream* stream, int clear_dirty) override;
  HRESULT GetSizeMax(uint64_t* size) override;
  HRESULT InitNew() override;

 private:
  ~CIEExtensionObj();  // through Release only

  IUnknown* Identity() { return static_cast<IObjectWithSite*>(this); }
  static intptr_t WindowProc(koWindowId window, uint32_t message, uintptr_t wparam,
                             intptr_t lparam);
  // The window's creation: the control with the start page; 0 on failure.
  int CreateControl(koWindowId window);
  void DestroyControl();
  void TellFocus(int focus);
  void ReleaseBrowser();

  // Page hooks (pagehooks.cpp).
  void OnDocumentComplete(IDispatch* frame);
  void OnQuit();
  int CacheTopDocument();
  void ReleaseDocuments();
  int OnWebmailHost();
  int ScriptInjected();
  int AttachChangeHandler();
  void InjectScript();
  // Calls the page's global function name without arguments: 1 with its
  // string answer in out (UTF-8).
  int CallPageFunction(const char* name, koString& out);
  void AskPage(const char* function);
  static void OnPropertyChange(VARIANT* result, void* context, const koString& name, int extra);

  koRefCount refs_;
  int requires_save_ = 0;  // never set: nothing to save
  IWebBrowser2* page_browser_ = nullptr;  // the control's browser
  CUIIEExtensionObj* ui_ = nullptr;
  IWebBrowser2* browser_ = nullptr;  // the browser window that holds the bar
  IInputObjectSite* input_site_ = nullptr;
  koWindowId parent_ = 0;
  koWindowId window_ = 0;
  uint32_t band_id_ = 0;
  uint32_t view_mode_ = 0;
  IConnectionPoint* events_ = nullptr;
  uint32_t cookie_ = 0;
  IHTMLDocument2* doc2_ = nullptr;
  IHTMLDocument3* doc3_ = nullptr;
  IHTMLWindow2* win2_ = nullptr;
  IHTMLWindow3* win3_ = nullptr;
  IHTMLWindow2* frame_win_ = nullptr;
  IHTMLDocument2* frame_doc2_ = nullptr;
  IHTMLDocument3* frame_doc3_ = nullptr;
  IBrowserControlHost* control_host_ = nullptr;
  IUnknown* control_ = nullptr;
  // The site while the window is made, for the control's host.
  IUnknown* creating_site_ = nullptr;
  // Handlers given to pages, cut loose when the bar lets go of the pages.
  std::vector<EventHandler*> handlers_;
};

#endif  // PV_IEEXT_SIDEBAR_H

// The stand-in browser's objects: a browser window with its events and its
// pages' small in-memory DOM, the site it gives a band, and the browser
// control it makes for a band's own pages. The host program (iehost) and the
// in-process tests both use them, so there is one host.
//
// Host objects are owned by the Host and never deleted by Release: their
// counts are only watched, so a test can see every reference the library
// still holds (Held). Everything records what the library asked of it in the
// host's journal, one line per event. One thread.
#ifndef PV_TESTS_IEEXT_HOSTOBJECTS_H
#define PV_TESTS_IEEXT_HOSTOBJECTS_H

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/os/browser.h"

namespace iehost {

class Host;

// IDispatch methods that host objects do not answer.
#define IEHOST_NO_TYPEINFO                                                               \
  HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }                      \
  HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }
#define IEHOST_NO_DISPATCH                                                               \
  IEHOST_NO_TYPEINFO                                                                     \
  HRESULT GetIDsOfNames(REFIID, OLECHAR**, uint32_t, LCID, DISPID*) override {           \
    return E_NOTIMPL;                                                                    \
  }                                                                                      \
  HRESULT Invoke(DISPID, REFIID, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*,      \
                 uint32_t*) override {                                                   \
    return E_NOTIMPL;                                                                    \
  }
#define IEHOST_COUNTED                                                                   \
  uint32_t AddRef() override { return refs_.Increment(); }                               \
  uint32_t Release() override { return refs_.Decrement(); }

class Counted {
 public:
  virtual ~Counted() = default;
  uint32_t Held() const { return refs_.Get(); }
  virtual std::string Name() const = 0;

 protected:
  koRefCount refs_;
};

// UTF-8 of a BSTR ("" for null).
std::string Utf8(BSTR text);

class Document;

// One element: what the hooks make and what the host puts in pages.
class Element final : public Counted,
                      public IHTMLElement,
                      public IHTMLScriptElement,
                      public IHTMLDOMNode {
 public:
  explicit Element(const std::string& tag) : tag(tag) {}
  std::string Name() const override { return "element " + tag; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT put_id(BSTR value) override;
  HRESULT put_text(BSTR value) override;
  HRESULT appendChild(IHTMLDOMNode* child, IHTMLDOMNode** added) override;

  std::string tag;  // as made: "head", "<script defer>"
  std::string id;
  std::string text;
  std::vector<Element*> children;
  Document* owner = nullptr;
};

class ElementCollection final : public Counted, public IHTMLElementCollection {
 public:
  std::string Name() const override { return "collection"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT item(VARIANT name, VARIANT index, IDispatch** element) override;

  std::vector<Element*> items;
};

class Location final : public Counted, public IHTMLLocation {
 public:
  std::string Name() const override { return "location"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT get_host(BSTR* out) override;

  std::string host;
};

// A page's global names: the page script's two functions, once the page
// holds it (an element "pvIEScript"), answering what the test set.
class ScriptObject final : public Counted, public IDispatch {
 public:
  std::string Name() const override { return "script"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_TYPEINFO
  HRESULT GetIDsOfNames(REFIID iid, OLECHAR** names, uint32_t count, LCID lcid,
                        DISPID* ids) override;
  HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                 VARIANT* result, EXCEPINFO* exception, uint32_t* bad_argument) override;

  Document* document = nullptr;
};

class Window;

class Document final : public Counted, public IHTMLDocument2, public IHTMLDocument3 {
 public:
  Document(Host* host, const std::string& name, const std::string& location_host);
  ~Document() override;
  std::string Name() const override { return "document " + name_; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT get_Script(IDispatch** out) override;
  HRESULT get_location(IHTMLLocation** out) override;
  HRESULT createElement(BSTR tag, IHTMLElement** out) override;
  HRESULT get_parentWindow(IHTMLWindow2** out) override;
  HRESULT attachEvent(BSTR event, IDispatch* handler, VARIANT_BOOL* result) override;
  HRESULT getElementById(BSTR id, IHTMLElement** out) override;
  HRESULT getElementsByTagName(BSTR tag, IHTMLElementCollection** out) override;

  Element* AddElement(const std::string& tag);
  // The body's property set by the page script: the handlers of
  // "onpropertychange" run, as the old browser's documents do.
  void SetBodyProperty();
  // The handlers attached for event, counted.
  size_t Handlers(const std::string& event) const;
  // Drops the handlers (the document goes away).
  void DropHandlers();
  bool HasScript() const;
  void AppendCounted(std::vector<const Counted*>& out) const;

  Host* host;
  Window* window = nullptr;
  std::vector<Element*> heads;
  // What the page script's functions answer: VT_BSTR, VT_NULL or VT_EMPTY
  // (nothing); the bool says whether the lookup of the element id fails.
  std::map<std::string, std::pair<VARTYPE, std::string>> answers;
  bool broken_id_lookup = false;

 private:
  std::string name_;
  Location location_;
  ScriptObject script_;
  std::vector<std::unique_ptr<Element>> elements_;
  std::vector<std::unique_ptr<ElementCollection>> collections_;
  std::vector<std::pair<std::string, IDispatch*>> handlers_;
};

// A page's window: the browser window's top page, a frame, or the page of a
// band's control. Navigating and running script are recorded; the owner
// decides what a navigation loads.
class Window final : public Counted, public IHTMLWindow2, public IHTMLWindow3 {
 public:
  Window(Host* host, const std::string& name) : host(host), name_(name) {}
  std::string Name() const override { return "window " + name_; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT item(VARIANT* which, VARIANT* frame) override;
  HRESULT get_frames(IHTMLFramesCollection2** out) override;
  HRESULT get_document(IHTMLDocument2** out) override;
  HRESULT navigate(BSTR url) override;
  HRESULT execScript(BSTR code, BSTR language, VARIANT* result) override;

  Host* host;
  Document* document = nullptr;
  std::map<std::string, Window*> frames;
  std::function<void(const std::string&)> on_navigate;

 private:
  std::string name_;
};

// The browser control of a band: its page window, its keyboard side, and
// the pages it loads (res: from the library, http: from the loopback server).
class Control final : public Counted, public IWebBrowser2, public IOleInPlaceActiveObject {
 public:
  Control(Host* host, koWindowId parent);
  std::string Name() const override { return "control"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT ShowBrowserBar(VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
  HRESULT get_Document(IDispatch** out) override;
  HRESULT TranslateAccelerator(MSG* message) override;

  // Loads what was navigated to; a page's own calls of window.external on
  // load run as its script would make them.
  void Load(const std::string& url);
  // The current page's Retry, as its timer or link calls it. 0 when the
  // page has none.
  int Retry();
  int CallExternal(const char* method);

  Host* host;
  koWindowId parent;
  Window page;
  std::string url;
  std::string text;  // the page loaded last
  IDispatch* external = nullptr;  // counted by the control's host
  HRESULT accelerator_answer = S_FALSE;
};

class ControlHost final : public Counted, public IBrowserControlHost {
 public:
  explicit ControlHost(Host* host) : host(host) {}
  ~ControlHost() override;
  std::string Name() const override { return "control host"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  HRESULT CreateControl(const OLECHAR* url, koWindowId parent, IUnknown** control) override;
  HRESULT SetExternalDispatch(IDispatch* external) override;

  Host* host;
  std::unique_ptr<Control> control;
};

// The site a band gets; which of its interfaces exist is the test's choice.
class Site final : public Counted,
                   public IOleWindow,
                   public IInputObjectSite,
                   public IServiceProvider {
 public:
  explicit Site(Host* host) : host(host) {}
  std::string Name() const override { return "site"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  HRESULT GetWindow(koWindowId* window) override;
  HRESULT ContextSensitiveHelp(int) override { return E_NOTIMPL; }
  HRESULT OnFocusChangeIS(IUnknown* object, int focus) override;
  HRESULT QueryService(REFGUID service, REFIID iid, void** out) override;

  Host* host;
  bool has_window = true;
  bool has_focus_site = true;
  bool has_services = true;
  bool has_control_host = true;
};

// The browser window: its top page, its events and its bar.
class Browser final : public Counted,
                      public IWebBrowser2,
                      public IConnectionPointContainer,
                      public IConnectionPoint {
 public:
  explicit Browser(Host* host) : host(host) {}
  std::string Name() const override { return "browser"; }
  HRESULT QueryInterface(REFIID iid, void** out) override;
  IEHOST_COUNTED
  IEHOST_NO_DISPATCH
  HRESULT ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) override;
  HRESULT get_Document(IDispatch** out) override;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;
  HRESULT Advise(IUnknown* sink, uint32_t* cookie) override;
  HRESULT Unadvise(uint32_t cookie) override;

  // Sends an event to every connected sink with the arguments in call
  // order; the answers of the sinks, in order.
  std::vector<HRESULT> Fire(DISPID id, std::vector<VARIANT> args);

  Host* host;
  Document* document = nullptr;
  std::function<HRESULT(const std::string& clsid, bool show)> on_show_bar;

 private:
  std::map<uint32_t, IDispatch*> sinks_;
  uint32_t next_cookie_ = 1;
};

class Host {
 public:
  explicit Host(bool echo = false);
  ~Host();

  // One line of what happened; printed at once when echoing.
  void Note(const std::string& line);
  // The lines noted since the last call.
  std::string Take();

  // A new top page on the host location_host in the browser window; with a
  // web-mail frame ("canvas_frame") when frame is set, and heads <head>
  // elements. Sub-frames complete first, then the top page, unless complete
  // is false (the test completes it).
  Document* LoadPage(const std::string& location_host, bool frame, int heads = 1,
                     bool complete = true);
  // DocumentComplete for the top page (top) or its frame; the sinks' answers.
  std::vector<HRESULT> Complete(bool top);
  std::vector<HRESULT> Quit();

  // Runs what the control's pages do on their own (loads, calls on load),
  // until nothing is left.
  void Pump();

  // Opens the bar of the class object's library as the browser does: made,
  // given the site, started, shown and asked for its size; its pages load.
  // The first failing step's answer.
  HRESULT OpenBar(koDllGetClassObjectFn get_class_object, REFCLSID clsid);
  // The browser quits and the bar closes: DISPID_QUIT, CloseDW, the site
  // taken back, the bar released. Nothing when no bar is open.
  void CloseBar();

  // Objects that are still held, as "<name> <count>" lines, and their sum.
  std::string StillHeld() const;
  uint32_t HeldCount() const;

  Browser browser{this};
  Site site{this};
  IDeskBand* bar = nullptr;
  koWindowId frame_window = 0;  // the browser window's own window
  std::vector<std::unique_ptr<ControlHost>> control_hosts;
  // Addresses navigated to and not loaded yet, with their control.
  std::vector<std::pair<Control*, std::string>> pending;

 private:
  std::vector<std::unique_ptr<Document>> documents_;
  std::vector<std::unique_ptr<Window>> windows_;
  std::string journal_;
  bool echo_;
};

}  // namespace iehost

#endif  // PV_TESTS_IEEXT_HOSTOBJECTS_H

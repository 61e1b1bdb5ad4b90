// The browser's side of the COM-shaped layer (platform/os/com.h): what a
// side bar and its host exchange besides the basics. The bar as a band
// (window, docking, band information, focus), the site services it asks for
// (the browser, the browser's events, a browser control for its own pages),
// and the few document and window operations that the page hooks use.
//
// As in com.h, this is our own binary contract between programs of this tree,
// with the callers' names and numbers, declared only as far as the callers
// use it. Window handles are ids of the in-process window layer
// (platform/desktop/window.h), in whichever copy of it made the window.
#ifndef PV_PLATFORM_OS_BROWSER_H
#define PV_PLATFORM_OS_BROWSER_H

#include <cstdint>

#include "platform/os/com.h"

typedef uint32_t koWindowId;  // as platform/desktop/window.h

// ---- Dispatch numbers and answers ------------------------------------------

constexpr uint16_t DISPATCH_METHOD = 1;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = static_cast<HRESULT>(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = static_cast<HRESULT>(0x80020003);
constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006);
constexpr HRESULT DISP_E_BADPARAMCOUNT = static_cast<HRESULT>(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x8002000F);
// The browser's events (DWebBrowserEvents2).
constexpr DISPID DISPID_QUIT = 103;
constexpr DISPID DISPID_DOCUMENTCOMPLETE = 259;
// The id under which a page calls an object given as an event handler.
constexpr DISPID DISPID_VALUE = 0;

// ---- The band and its site -------------------------------------------------

struct IOleWindow : IUnknown {
  virtual HRESULT GetWindow(koWindowId* window) = 0;
  virtual HRESULT ContextSensitiveHelp(int enter) = 0;

 protected:
  ~IOleWindow() = default;
};

struct RECT {
  int32_t left, top, right, bottom;
};

struct IDockingWindow : IOleWindow {
  virtual HRESULT ShowDW(int show) = 0;
  virtual HRESULT CloseDW(uint32_t reserved) = 0;
  virtual HRESULT ResizeBorderDW(const RECT* border, IUnknown* site, int reserved) = 0;

 protected:
  ~IDockingWindow() = default;
};

struct POINTL {
  int32_t x, y;
};

// What the browser asks of a band (dwMask) and what the band fills in.
struct DESKBANDINFO {
  uint32_t dwMask;
  POINTL ptMinSize;
  POINTL ptMaxSize;
  POINTL ptIntegral;
  POINTL ptActual;
  OLECHAR wszTitle[256];
  uint32_t dwModeFlags;
  uint32_t crBkgnd;
};
enum : uint32_t {
  DBIM_MINSIZE = 0x01,
  DBIM_MAXSIZE = 0x02,
  DBIM_INTEGRAL = 0x04,
  DBIM_ACTUAL = 0x08,
  DBIM_TITLE = 0x10,
  DBIM_MODEFLAGS = 0x20,
  DBIM_BKCOLOR = 0x40,
};
constexpr uint32_t DBIMF_VARIABLEHEIGHT = 0x08;

struct IDeskBand : IDockingWindow {
  virtual HRESULT GetBandInfo(uint32_t band_id, uint32_t view_mode, DESKBANDINFO* info) = 0;

 protected:
  ~IDeskBand() = default;
};

// A message as the window layer's koMessage (same fields, same order).
struct MSG {
  koWindowId hwnd;
  uint32_t message;
  uintptr_t wParam;
  intptr_t lParam;
};

struct IInputObject : IUnknown {
  virtual HRESULT UIActivateIO(int activate, MSG* message) = 0;
  virtual HRESULT HasFocusIO() = 0;
  virtual HRESULT TranslateAcceleratorIO(MSG* message) = 0;

 protected:
  ~IInputObject() = default;
};

struct IInputObjectSite : IUnknown {
  virtual HRESULT OnFocusChangeIS(IUnknown* object, int focus) = 0;

 protected:
  ~IInputObjectSite() = default;
};

struct IServiceProvider : IUnknown {
  virtual HRESULT QueryService(REFGUID service, REFIID iid, void** out) = 0;

 protected:
  ~IServiceProvider() = default;
};

struct IStream;

struct IPersist : IUnknown {
  virtual HRESULT GetClassID(CLSID* clsid) = 0;

 protected:
  ~IPersist() = default;
};

struct IPersistStreamInit : IPersist {
  virtual HRESULT IsDirty() = 0;
  virtual HRESULT Load(IStream* stream) = 0;
  virtual HRESULT Save(IStream* stream, int clear_dirty) = 0;
  virtual HRESULT GetSizeMax(uint64_t* size) = 0;
  virtual HRESULT InitNew() = 0;

 protected:
  ~IPersistStreamInit() = default;
};

struct IConnectionPoint : IUnknown {
  virtual HRESULT Advise(IUnknown* sink, uint32_t* cookie) = 0;
  virtual HRESULT Unadvise(uint32_t cookie) = 0;

 protected:
  ~IConnectionPoint() = default;
};

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) = 0;

 protected:
  ~IConnectionPointContainer() = default;
};

// The hosted control's keyboard side.
struct IOleInPlaceActiveObject : IUnknown {
  virtual HRESULT TranslateAccelerator(MSG* message) = 0;

 protected:
  ~IOleInPlaceActiveObject() = default;
};

// The host's maker of browser controls, one control per host object, asked
// for through the site's service provider (SID_SBrowserControlHost).
struct IBrowserControlHost : IUnknown {
  // A browser control in the window parent showing url; *control counts one
  // reference.
  virtual HRESULT CreateControl(const OLECHAR* url, koWindowId parent, IUnknown** control) = 0;
  // The object that the control's pages see as window.external (null: none).
  virtual HRESULT SetExternalDispatch(IDispatch* external) = 0;

 protected:
  ~IBrowserControlHost() = default;
};

// ---- Documents and windows of pages ---------------------------------------

struct IHTMLWindow2;
struct IHTMLElement;
struct IHTMLElementCollection;

struct IHTMLLocation : IDispatch {
  virtual HRESULT get_host(BSTR* host) = 0;

 protected:
  ~IHTMLLocation() = default;
};

struct IHTMLDocument2 : IDispatch {
  // The page's script object: its global names are its members.
  virtual HRESULT get_Script(IDispatch** script) = 0;
  virtual HRESULT get_location(IHTMLLocation** location) = 0;
  // tag may be markup of one element ("<script defer>").
  virtual HRESULT createElement(BSTR tag, IHTMLElement** element) = 0;
  virtual HRESULT get_parentWindow(IHTMLWindow2** window) = 0;

 protected:
  ~IHTMLDocument2() = default;
};

struct IHTMLDocument3 : IDispatch {
  virtual HRESULT attachEvent(BSTR event, IDispatch* handler, VARIANT_BOOL* result) = 0;
  // *element is null when there is none.
  virtual HRESULT getElementById(BSTR id, IHTMLElement** element) = 0;
  virtual HRESULT getElementsByTagName(BSTR tag, IHTMLElementCollection** elements) = 0;

 protected:
  ~IHTMLDocument3() = default;
};

struct IHTMLFramesCollection2 : IDispatch {
  // The frame of that name (VT_BSTR) or index (VT_I4), as VT_DISPATCH.
  virtual HRESULT item(VARIANT* which, VARIANT* frame) = 0;

 protected:
  ~IHTMLFramesCollection2() = default;
};

struct IHTMLWindow2 : IHTMLFramesCollection2 {
  virtual HRESULT get_frames(IHTMLFramesCollection2** frames) = 0;
  virtual HRESULT get_document(IHTMLDocument2** document) = 0;
  virtual HRESULT navigate(BSTR url) = 0;
  virtual HRESULT execScript(BSTR code, BSTR language, VARIANT* result) = 0;

 protected:
  ~IHTMLWindow2() = default;
};

// Kept beside IHTMLWindow2; nothing of it is called.
struct IHTMLWindow3 : IDispatch {
 protected:
  ~IHTMLWindow3() = default;
};

struct IHTMLElement : IDispatch {
  virtual HRESULT put_id(BSTR id) = 0;

 protected:
  ~IHTMLElement() = default;
};

struct IHTMLScriptElement : IDispatch {
  virtual HRESULT put_text(BSTR text) = 0;

 protected:
  ~IHTMLScriptElement() = default;
};

struct IHTMLDOMNode : IDispatch {
  virtual HRESULT appendChild(IHTMLDOMNode* child, IHTMLDOMNode** added) = 0;

 protected:
  ~IHTMLDOMNode() = default;
};

struct IHTMLElementCollection : IDispatch {
  // The element at index (VT_I4) as VT_DISPATCH in *element (null when none).
  virtual HRESULT item(VARIANT name, VARIANT index, IDispatch** element) = 0;

 protected:
  ~IHTMLElementCollection() = default;
};

// ---- Identifiers -----------------------------------------------------------

constexpr IID IID_IOleWindow = koGuid("{00000114-0000-0000-C000-000000000046}");
constexpr IID IID_IDockingWindow = koGuid("{012DD920-7B26-11D0-8CA9-00A0C92DBFE8}");
constexpr IID IID_IDeskBand = koGuid("{EB0FE172-1A3A-11D0-89B3-00A0C90A90AC}");
constexpr IID IID_IInputObject = koGuid("{68284FAA-6A48-11D0-8C78-00C04FD918B4}");
constexpr IID IID_IInputObjectSite = koGuid("{F1DB8392-7331-11D0-8C99-00A0C92DBFE8}");
constexpr IID IID_IServiceProvider = koGuid("{6D5140C1-7436-11CE-8034-00AA006009FA}");
constexpr IID IID_IPersist = koGuid("{0000010C-0000-0000-C000-000000000046}");
constexpr IID IID_IPersistStreamInit = koGuid("{7FD52380-4E07-101B-AE2D-08002B2EC713}");
constexpr IID IID_IConnectionPointContainer = koGuid("{B196B284-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IConnectionPoint = koGuid("{B196B286-BAB4-101A-B69C-00AA00341D07}");
constexpr IID IID_IOleInPlaceActiveObject = koGuid("{00000117-0000-0000-C000-000000000046}");
constexpr IID IID_IHTMLDocument2 = koGuid("{332C4425-26CB-11D0-B483-00C04FD90119}");
constexpr IID IID_IHTMLDocument3 = koGuid("{3050F485-98B5-11CF-BB82-00AA00BDCE0B}");
constexpr IID IID_IHTMLWindow2 = koGuid("{332C4427-26CB-11D0-B483-00C04FD90119}");
constexpr IID IID_IHTMLWindow3 = koGuid("{3050F4AE-98B5-11CF-BB82-00AA00BDCE0B}");
constexpr IID IID_IHTMLFramesCollection2 = koGuid("{332C4426-26CB-11D0-B483-00C04FD90119}");
constexpr IID IID_IHTMLElement = koGuid("{3050F1FF-98B5-11CF-BB82-00AA00BDCE0B}");
constexpr IID IID_IHTMLScriptElement = koGuid("{3050F28B-98B5-11CF-BB82-00AA00BDCE0B}");
constexpr IID IID_IHTMLDOMNode = koGuid("{3050F5DA-98B5-11CF-BB82-00AA00BDCE0B}");
constexpr IID IID_IHTMLElementCollection = koGuid("{3050F21F-98B5-11CF-BB82-00AA00BDCE0B}");
// The browser's events, as a connection's interface id.
constexpr IID DIID_DWebBrowserEvents2 = koGuid("{34A715A0-6587-11D0-924A-0020AFC7AC4D}");
// Services of a band's site: the browser window, and the host's browser controls.
constexpr GUID SID_SWebBrowserApp = koGuid("{0002DF05-0000-0000-C000-000000000046}");
constexpr GUID SID_SBrowserControlHost = koGuid("{9E41C2B7-5A03-4D6E-8F19-B27C0D4E6A35}");
constexpr IID IID_IBrowserControlHost = SID_SBrowserControlHost;

#endif  // PV_PLATFORM_OS_BROWSER_H

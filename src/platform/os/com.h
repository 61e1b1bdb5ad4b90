// The COM-shaped interface layer between an in-process library and the
// program that loads it: identifiers (GUIDs) and their text form, result
// codes (HRESULT), length-prefixed UTF-16 strings (BSTR), tagged values
// (VARIANT) and the few interfaces that the browser side bar and its host
// exchange. It is our own binary contract between programs built from this
// tree (plain C++ virtual calls, no calling-convention attributes, no
// marshalling, no apartment runtime), declared with the names and numbers
// that the callers' contracts use.
//
// Ownership follows the usual rules: an interface pointer handed out counts
// one reference that the receiver releases; a BSTR belongs to whoever holds
// it and is freed with koSysFreeString, in whichever copy of this layer, since
// all copies allocate with malloc. Reference counts are atomic, so objects
// may be released from any thread; everything else belongs to one thread.
// Needs nothing of ours besides the UTF converter.
#ifndef PV_PLATFORM_OS_COM_H
#define PV_PLATFORM_OS_COM_H

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- Identifiers -----------------------------------------------------------

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef GUID CATID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

namespace kocom_detail {
constexpr int HexDigit(char c) {
  return c >= '0' && c <= '9'   ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : throw "not a GUID";  // stops the compile
}
constexpr uint32_t Hex(const char* s, int at, int digits) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) v = v * 16 + HexDigit(s[at + i]);
  return v;
}
}  // namespace kocom_detail

// A GUID from its text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" at
// compile time, so identifiers appear in code as they are written elsewhere.
constexpr GUID koGuid(const char (&s)[39]) {
  using kocom_detail::Hex;
  return GUID{Hex(s, 1, 8),
              static_cast<uint16_t>(Hex(s, 10, 4)),
              static_cast<uint16_t>(Hex(s, 15, 4)),
              {static_cast<uint8_t>(Hex(s, 20, 2)), static_cast<uint8_t>(Hex(s, 22, 2)),
               static_cast<uint8_t>(Hex(s, 25, 2)), static_cast<uint8_t>(Hex(s, 27, 2)),
               static_cast<uint8_t>(Hex(s, 29, 2)), static_cast<uint8_t>(Hex(s, 31, 2)),
               static_cast<uint8_t>(Hex(s, 33, 2)), static_cast<uint8_t>(Hex(s, 35, 2))}};
}

// Length of the text form with its braces, without the terminating zero.
constexpr int kGuidTextLength = 38;
// out (kGuidTextLength + 1 bytes) = the upper-case text form in braces.
void koGuidToText(const GUID& guid, char* out);
// guid = the GUID written in text (braces required, hex digits of either
// case). 1, or 0 (guid untouched) when the text is not exactly that form.
int koGuidFromText(const char* text, GUID* guid);

// ---- Result codes ----------------------------------------------------------

typedef int32_t HRESULT;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);

inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }
// A system error number (as the registry answers them) as a result code.
inline HRESULT koHResultFromWin32(long error) {
  return error <= 0 ? static_cast<HRESULT>(error)
                    : static_cast<HRESULT>((static_cast<uint32_t>(error) & 0xFFFF) | 0x80070000u);
}

// ---- Strings and values ----------------------------------------------------

typedef char16_t OLECHAR;
// Points at the first unit; the byte length is stored in the 4 bytes before
// it and a zero unit follows the text. Null stands for the empty string.
typedef OLECHAR* BSTR;

// A copy of the zero-terminated text; null when text is null or memory runs out.
BSTR koSysAllocString(const OLECHAR* text);
// A copy of n units of text (zero units included); text may be null for n
// zero units. Null when memory runs out.
BSTR koSysAllocStringLen(const OLECHAR* text, uint32_t n);
// The UTF-8 text as a BSTR (invalid bytes become U+FFFD); null as above.
BSTR koSysAllocStringUtf8(const char* text);
// Units of the string (0 for null).
uint32_t koSysStringLen(BSTR s);
// Frees the string (null is a no-op).
void koSysFreeString(BSTR s);

typedef int16_t VARIANT_BOOL;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

typedef uint16_t VARTYPE;
enum : VARTYPE { VT_EMPTY = 0, VT_NULL = 1, VT_I4 = 3, VT_BSTR = 8, VT_DISPATCH = 9, VT_BOOL = 11, VT_UNKNOWN = 13 };

struct IUnknown;
struct IDispatch;

struct VARIANT {
  VARTYPE vt;
  union {
    int32_t lVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
  };
};

// Empty (VT_EMPTY).
void koVariantInit(VARIANT* v);
// Frees what the value owns (its BSTR, its interface reference) and leaves it
// empty. S_OK.
HRESULT koVariantClear(VARIANT* v);

// ---- Interfaces ------------------------------------------------------------
// Objects delete themselves when their count reaches zero; nothing deletes
// them through an interface pointer, hence no virtual destructors.

typedef int32_t DISPID;
typedef uint32_t LCID;

struct DISPPARAMS {
  VARIANT* rgvarg;  // arguments in reverse order
  DISPID* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
};
struct EXCEPINFO;
struct ITypeInfo;

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
  virtual HRESULT LockServer(int lock) = 0;

 protected:
  ~IClassFactory() = default;
};

struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
  virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** out) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, OLECHAR** names, uint32_t count, LCID lcid,
                                DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* exception, uint32_t* bad_argument) = 0;

 protected:
  ~IDispatch() = default;
};

// What a browser hands the objects it hosts.
struct IObjectWithSite : IUnknown {
  virtual HRESULT SetSite(IUnknown* site) = 0;
  virtual HRESULT GetSite(REFIID iid, void** out) = 0;

 protected:
  ~IObjectWithSite() = default;
};

// The browser window, as far as its hosted objects ask it for something.
struct IWebBrowser2 : IDispatch {
  // Shows or hides the bar of class clsid (VT_BSTR, the text form);
  // show is VT_BOOL; size may be null (the bar's own size).
  virtual HRESULT ShowBrowserBar(VARIANT* clsid, VARIANT* show, VARIANT* size) = 0;
  // The document shown (an HTML document's dispatch); null while there is none.
  virtual HRESULT get_Document(IDispatch** document) = 0;

 protected:
  ~IWebBrowser2() = default;
};

// The component-categories manager's registration side.
struct ICatRegister : IUnknown {
  virtual HRESULT RegisterClassImplCategories(REFCLSID clsid, uint32_t count,
                                              const CATID* categories) = 0;
  virtual HRESULT UnRegisterClassImplCategories(REFCLSID clsid, uint32_t count,
                                                const CATID* categories) = 0;

 protected:
  ~ICatRegister() = default;
};

constexpr IID IID_IUnknown = koGuid("{00000000-0000-0000-C000-000000000046}");
constexpr IID IID_IClassFactory = koGuid("{00000001-0000-0000-C000-000000000046}");
constexpr IID IID_IDispatch = koGuid("{00020400-0000-0000-C000-000000000046}");
constexpr IID IID_IObjectWithSite = koGuid("{FC4801A3-2BA9-11CF-A229-00AA003D7352}");
constexpr IID IID_IWebBrowser2 = koGuid("{D30C1661-CDAF-11D0-8A3E-00C04FC9E26E}");
constexpr IID IID_ICatRegister = koGuid("{0002E012-0000-0000-C000-000000000046}");
constexpr IID IID_NULL = GUID{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// A thread-safe reference count.
class koRefCount {
 public:
  explicit koRefCount(uint32_t start = 0) : count_(start) {}
  uint32_t Increment() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  // The count after the release; the thread that sees 0 owns the object's end.
  uint32_t Decrement() { return count_.fetch_sub(1, std::memory_order_acq_rel) - 1; }
  uint32_t Get() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<uint32_t> count_;
};

// ---- Library entry points --------------------------------------------------
// An in-process server exports these four with C linkage.

typedef HRESULT (*koDllGetClassObjectFn)(REFCLSID clsid, REFIID iid, void** out);
typedef HRESULT (*koDllEntryFn)();
constexpr const char kDllGetClassObject[] = "DllGetClassObject";
constexpr const char kDllCanUnloadNow[] = "DllCanUnloadNow";
constexpr const char kDllRegisterServer[] = "DllRegisterServer";
constexpr const char kDllUnregisterServer[] = "DllUnregisterServer";

#endif  // PV_PLATFORM_OS_COM_H

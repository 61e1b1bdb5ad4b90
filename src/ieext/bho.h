// The browser helper object: the browser makes one per window and hands it
// the window; it opens the side bar in the first window after an
// installation or upgrade and asks later windows to hide it. MyClassFactory
// is its class object.
//
// Lives on the browser's user-interface thread; counts are atomic. A live
// BHO holds a lock on the library (gModule), so the library is not unloaded
// under it. Nothing is logged; every SetSite answers S_OK.
#ifndef PV_IEEXT_BHO_H
#define PV_IEEXT_BHO_H

#include "core/kstring.h"
#include "ieext/comobject.h"
#include "ieext/comodule.h"
#include "platform/os/com.h"

class BHO final : public IObjectWithSite, public IDispatch {
 public:
  BHO();
  BHO(const BHO&) = delete;
  BHO& operator=(const BHO&) = delete;

  // IUnknown (IUnknown and IObjectWithSite give the object, IDispatch its
  // IDispatch part); Release deletes at 0.
  PV_IUNKNOWN_METHODS

  // IDispatch: no type information; Invoke does nothing.
  PV_IDISPATCH_METHODS

  // Shows the bar once per product version (see the source); S_OK always.
  HRESULT SetSite(IUnknown* site) override;
  HRESULT GetSite(REFIID iid, void** out) override;

  // 1 unless the shared ini file marks the bar as opened for this version.
  static int ShouldShowSideBar();
  // Marks it so; 1 when written.
  static int MarkSideBarShown();

 private:
  ~BHO();  // through Release only

  koRefCount refs_;
  IWebBrowser2* browser_ = nullptr;  // held only while SetSite runs
};

// The shared ini file: postvane.ini in the low-integrity data directory, or
// in the roaming one when that cannot be had. 1, or 0 (out empty) when
// neither can.
int GetSharedIniPath(koString& out);

class MyClassFactory final : public StaticClassFactory {
 public:
  // A new BHO queried for iid: CLASS_E_NOAGGREGATION with an outer object,
  // E_OUTOFMEMORY, or the query's answer (the object is gone again when the
  // query failed).
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
};

extern MyClassFactory gBhoFactory;

#endif  // PV_IEEXT_BHO_H

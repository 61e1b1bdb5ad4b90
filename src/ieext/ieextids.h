// The identifiers and fixed texts of the browser library, shared by its
// classes, its registration and the programs that test it.
#ifndef PV_IEEXT_IEEXTIDS_H
#define PV_IEEXT_IEEXTIDS_H

#include "platform/os/com.h"

// Text forms first: registration writes them as they stand.
#define PV_SIDEBAR_CLSID "{5A1C7E20-3B44-4F0D-9C61-2E8B7D4A9F13}"
#define PV_UIOBJECT_CLSID "{2B7E9C14-5D60-4A8F-B3E2-917C4D8F6A05}"
// The class that the window.external object's registration names.
#define PV_UIOBJECT_REGISTERED_CLSID "{E4A81D37-6F25-4C9B-8D70-3A5B1E2F9C68}"
#define PV_BHO_CLSID "{8D2F4B61-7C09-4E35-A1B8-6F3E2C9D0A47}"
#define PV_LIBID "{93C6E5A2-1B48-4D7F-A0E9-5C2D8B7F4136}"
// The type library that the class keys' "TypeLib" entries name.
#define PV_REGISTERED_LIBID "{B5F03C7E-2A91-4D48-9E6B-1C7D5F8A0E32}"
#define PV_IIEEXTENSIONOBJ_IID "{6F0B3D95-A2C7-4E81-9B54-D8E1F3A67C20}"
#define PV_IUIIEEXTENSIONOBJ_IID "{C1D74A08-9E36-4B2F-8A15-7B6E0C3D59F4}"
// A third add-on whose stored settings registration clears.
#define PV_OLD_ADDON_CLSID "{47E2B9C0-D815-4A63-B7F9-0E4C6A1D28B5}"
// Vertical Explorer bars, horizontal ones, and the category list they share.
#define PV_CATID_INFOBAND "{00021493-0000-0000-C000-000000000046}"
#define PV_CATID_COMMBAND "{00021494-0000-0000-C000-000000000046}"
#define PV_CATID_DESKBAND "{00021492-0000-0000-C000-000000000046}"

constexpr CLSID CLSID_IEExtensionObj = koGuid(PV_SIDEBAR_CLSID);
constexpr CLSID CLSID_UIIEExtensionObj = koGuid(PV_UIOBJECT_CLSID);
constexpr CLSID CLSID_UIIEExtensionObjRegistered = koGuid(PV_UIOBJECT_REGISTERED_CLSID);
constexpr CLSID CLSID_BHO = koGuid(PV_BHO_CLSID);
constexpr GUID LIBID_IEEXTENSIONLib = koGuid(PV_LIBID);
constexpr IID IID_IIEExtensionObj = koGuid(PV_IIEEXTENSIONOBJ_IID);
constexpr IID IID_IUIIEExtensionObj = koGuid(PV_IUIIEEXTENSIONOBJ_IID);
constexpr CATID CATID_InfoBand = koGuid(PV_CATID_INFOBAND);

// The product version: the registered "Version" and the side bar's ini mark.
constexpr const char kProductVersion[] = "1.89 Beta";

// The program's main window class: while a window of it exists, the program runs.
constexpr const char kProgramWindowClass[] = "PostvaneWindowClass";

#endif  // PV_IEEXT_IEEXTIDS_H

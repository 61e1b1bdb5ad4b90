#include "ieext/typelib.h"

#include "ieext/ieextids.h"

namespace {

const TypeLibMethod kUIMethods[] = {
    {"LoadPostvane", 0x60020000},
    {"Retry", 0x60020001},
};

const TypeLibInterface kInterfaces[] = {
    {"IIEExtensionObj", IID_IIEExtensionObj, nullptr, 0},
    {"IUIIEExtensionObj", IID_IUIIEExtensionObj, kUIMethods, 2},
};

const TypeLibClass kClasses[] = {
    {"IEExtensionObj", "IEExtensionObj Class", CLSID_IEExtensionObj, &kInterfaces[0]},
    {"UIIEExtensionObj", "UIPostvaneObj Class", CLSID_UIIEExtensionObj, &kInterfaces[1]},
};

}  // namespace

const TypeLibFacts kIEExtensionTypeLib = {
    "IEEXTENSIONLib", LIBID_IEEXTENSIONLib, 1, 0, "Postvane 1.0 Type Library",
    kInterfaces, 2, kClasses, 2,
};

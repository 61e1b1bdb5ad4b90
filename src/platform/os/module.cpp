#include "platform/os/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace {

typedef int (*AttachFn)();
typedef void (*DetachFn)();

std::string LastDlError(const char* fallback) {
  const char* text = dlerror();
  return text != nullptr ? text : fallback;
}

}  // namespace

koModule::~koModule() { Unload(); }

int koModule::Load(const char* path) {
  Unload();
  error_.clear();
  if (path == nullptr || *path == 0) {
    error_ = "no library path";
    return 0;
  }
  dlerror();
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    error_ = LastDlError("cannot load");
    return 0;
  }
  AttachFn attach = reinterpret_cast<AttachFn>(dlsym(handle, kModuleAttach));
  if (attach != nullptr && attach() == 0) {
    dlclose(handle);
    error_ = std::string(path) + ": the library refused to start in this program";
    return 0;
  }
  handle_ = handle;
  return 1;
}

void* koModule::Symbol(const char* name) {
  if (handle_ == nullptr) {
    error_ = "no library loaded";
    return nullptr;
  }
  dlerror();
  void* address = dlsym(handle_, name);
  if (address == nullptr) error_ = LastDlError("symbol not found");
  return address;
}

void koModule::Unload() {
  if (handle_ == nullptr) return;
  DetachFn detach = reinterpret_cast<DetachFn>(dlsym(handle_, kModuleDetach));
  if (detach != nullptr) detach();
  dlclose(handle_);
  handle_ = nullptr;
}

int koGetModulePath(const void* address, std::string& out) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == 0) return 0;
  std::string path = info.dli_fname;
  if (path[0] != '/') {
    char folder[PATH_MAX];
    if (getcwd(folder, sizeof folder) == nullptr) return 0;
    path = std::string(folder) + "/" + path;
  }
  out = path;
  return 1;
}

int koLoadResource(const char* module, const char* type, int id, std::string& out) {
  out.clear();
  if (module == nullptr || type == nullptr) return 0;
  // A name without a folder matches a loaded library by the name it was
  // linked under, as the system's own module lookup does.
  void* handle = dlopen(module, RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return 0;
  koFindResourceFn find = reinterpret_cast<koFindResourceFn>(dlsym(handle, kModuleResource));
  const void* data = nullptr;
  size_t size = 0;
  int found = find != nullptr && find(type, id, &data, &size) != 0 && data != nullptr;
  if (found) out.assign(static_cast<const char*>(data), size);
  dlclose(handle);
  return found;
}

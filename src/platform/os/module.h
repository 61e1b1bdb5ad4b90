// Loading a library of ours at run time (dlopen) and finding the file of
// loaded code.
//
// A library may export a start entry (kModuleAttach, int(void)) and an end
// entry (kModuleDetach, void(void)). The loader calls the start entry after
// each successful load and unloads the library again, failing the load, when
// it answers 0: this is how a library refuses to start in a process. It calls
// the end entry before each unload. A library loaded more than once in a
// process sees both entries once per load and keeps its own count.
//
// Libraries are loaded with their symbols resolved at once and kept local, so
// two libraries never bind to each other's symbols. Unloading ends the
// library's start but leaves its code mapped: the process-wide objects that
// its copy of the core keeps for the life of a process (the ini lock) stay
// valid, and the next load uses them again instead of making new ones.
// A koModule belongs to one thread at a time. Needs nothing of ours.
#ifndef PV_PLATFORM_OS_MODULE_H
#define PV_PLATFORM_OS_MODULE_H

#include <cstddef>
#include <string>

constexpr const char kModuleAttach[] = "PvModuleAttach";
constexpr const char kModuleDetach[] = "PvModuleDetach";
// A library that carries resources (pages, scripts) exports this lookup:
// 1 with *data and *size set to the bytes of resource (type, id), else 0.
// The bytes live as long as the library's code.
constexpr const char kModuleResource[] = "PvFindResource";
typedef int (*koFindResourceFn)(const char* type, int id, const void** data, size_t* size);

class koModule {
 public:
  koModule() = default;
  ~koModule();  // unloads
  koModule(const koModule&) = delete;
  koModule& operator=(const koModule&) = delete;

  // Loads the library at path (a '/' in it: taken as it is; otherwise the
  // system's search). A loaded library is unloaded first. 1, or 0 with the
  // reason in Error().
  int Load(const char* path);
  // The address of an exported symbol, or null (the reason in Error()).
  void* Symbol(const char* name);
  // Calls the end entry and unloads; nothing when nothing is loaded.
  void Unload();
  bool Loaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// out = the file of the loaded object (program or library) that holds the
// code or data at address, as it was loaded, made absolute against the
// current folder when it was loaded by a relative path. 1, or 0.
int koGetModulePath(const void* address, std::string& out);

// out = the bytes of resource (type, id) of the loaded library named module:
// its file name as it was loaded ("IEPostvane.dll", as "res:" addresses name
// it) or its path. 1, or 0 (out empty) when no such library is loaded or it
// has no such resource. Never loads anything.
int koLoadResource(const char* module, const char* type, int id, std::string& out);

#endif  // PV_PLATFORM_OS_MODULE_H

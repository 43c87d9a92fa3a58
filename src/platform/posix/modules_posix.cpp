#include "platform/modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/posix/posix_internal.h"

namespace plat {

const char* ModuleSuffix() { return ".so"; }

static ModuleHandle Open(const std::string& path) {
  dlerror();
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!h) {
    const char* msg = dlerror();
    // A missing file and a file that is not a loadable module are told apart
    // the way Windows does (126 / 193); the loader's own words are the text.
    uint32_t code = kErrorModNotFound;
    if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) == 0) code = 193;
    RecordErrorText(code, msg ? msg : "dlopen failed");
    SetLastError(code);
  }
  return h;
}

ModuleHandle LoadModule(const std::string& path, bool /*alteredSearchPath*/) {
  // The plug-in's own folder is searched for its dependencies through the
  // plug-in's RUNPATH ($ORIGIN), the POSIX counterpart of the altered search path.
  return Open(path);
}

ModuleHandle LoadModuleByName(const std::string& name) { return Open(name); }

void* GetSymbol(ModuleHandle module, const char* name) {
  if (!module) return nullptr;
  void* p = dlsym(module, name);
  if (!p) SetLastError(kErrorProcNotFound);
  return p;
}

void UnloadModule(ModuleHandle module) {
  if (module) dlclose(module);
}

std::string MainModulePath() {
  // readlink says nothing of a cut answer: grow until the answer is shorter than the buffer.
  for (size_t tamanho = 256;; tamanho *= 2) {
    std::string buf(tamanho, '\0');
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n <= 0) return {};
    if (static_cast<size_t>(n) < tamanho) {
      buf.resize(static_cast<size_t>(n));
      return buf;
    }
  }
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  std::string p = info.dli_fname;
  if (p.find('/') == std::string::npos) p = MainModulePath();  // the main program is reported by its bare name
  return p;
}

void PinModuleOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) && info.dli_fname) {
    dlopen(info.dli_fname, RTLD_NOW | RTLD_NODELETE | RTLD_NOLOAD);
  }
}

}  // namespace plat

#pragma once
#include <string>

namespace plat {

using ModuleHandle = void*;

// The file suffix of loadable modules: ".dll" on Windows, ".so" on POSIX.
const char* ModuleSuffix();

// Loads a module by full path. With alteredSearchPath the module's own folder
// is searched first for its dependencies (LoadLibraryExW with
// LOAD_WITH_ALTERED_SEARCH_PATH; on POSIX dlopen with RTLD_NOW). Returns
// nullptr and sets LastError on failure; on POSIX the loader's message is kept
// as the system text of that error code.
ModuleHandle LoadModule(const std::string& path, bool alteredSearchPath);

// Loads a module by bare file name through the system's search order, never
// from the current folder. Windows: the name is resolved to a full path over
// the program's folder, the system folder, the 16-bit system folder, the
// Windows folder and the absolute folders of PATH, and that path is loaded
// (its dependencies are then found as for LoadLibraryW of a full path).
// POSIX: dlopen of the name (the loader's search knows no current folder).
ModuleHandle LoadModuleByName(const std::string& name);

void* GetSymbol(ModuleHandle module, const char* name);
void UnloadModule(ModuleHandle module);

// Full path of the process's main executable, whatever its length ("" when
// the system cannot tell).
std::string MainModulePath();

// Full path of the module (executable or shared library) that contains `address`,
// whatever its length, raw as the system reports it (on Windows it may start
// with \\?\).
std::string ModulePathOf(const void* address);

// Keeps the module that contains `address` loaded until the process ends.
void PinModuleOf(const void* address);

}  // namespace plat

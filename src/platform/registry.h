// Read-only access to the registry. Keys are never created.
//
// Windows: RegOpenKeyExW (KEY_QUERY_VALUE) and RegQueryValueExW under
// HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
//
// POSIX: the same model kept as a folder tree. Its root is the folder named by
// the environment variable DACTYLINK_REGISTRY, or else
// $HOME/.dactylink/registry. Below it there is one folder per root
// ("HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"), the key path as sub-folders (each
// backslash-separated part of the key is one folder level) and one file per
// value, named by the value ("@" for the default value, whose name is empty).
// A value file holds "dword:<decimal or 0x-hex>" or "sz:<text>"; one trailing
// line break is ignored. Any other content is a value of another type.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace plat {

enum class RegistryRoot { CurrentUser, LocalMachine };

// The DWORD value `name` of `key` (leading backslashes ignored). Empty when the
// key or the value is missing, when the value is not a DWORD, or on any error.
std::optional<uint32_t> ReadRegistryDword(RegistryRoot root, const std::string& key, const std::string& name);

// The string value (REG_SZ or REG_EXPAND_SZ, not expanded) as UTF-8. Empty as above.
std::optional<std::string> ReadRegistryString(RegistryRoot root, const std::string& key, const std::string& name);

}  // namespace plat

#include "platform/registry.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string_view>

namespace plat {

namespace {

const char* RootFolderName(RegistryRoot root) {
  return root == RegistryRoot::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

std::string TreeRoot() {
  if (const char* r = std::getenv("DACTYLINK_REGISTRY"); r && *r) return r;
  const char* home = std::getenv("HOME");
  if (!home || !*home) return {};
  return std::string(home) + "/.dactylink/registry";
}

// A key part or value name must stay one folder level: no "/", no "." or "..".
bool ValidPart(std::string_view p) { return !p.empty() && p != "." && p != ".." && p.find('/') == p.npos; }

std::optional<std::string> ValueFile(RegistryRoot root, const std::string& key, const std::string& name) {
  std::string path = TreeRoot();
  if (path.empty()) return std::nullopt;
  path += '/';
  path += RootFolderName(root);
  size_t i = 0;
  while (i < key.size()) {
    size_t j = key.find('\\', i);
    if (j == std::string::npos) j = key.size();
    std::string_view part(key.data() + i, j - i);
    if (!part.empty()) {  // leading, trailing and doubled backslashes add no level
      if (!ValidPart(part)) return std::nullopt;
      path += '/';
      path += part;
    }
    i = j + 1;
  }
  std::string file = name.empty() ? "@" : name;
  if (!ValidPart(file)) return std::nullopt;
  return path + "/" + file;
}

// The value's content without its type prefix, when it has that type.
std::optional<std::string> ReadTyped(RegistryRoot root, const std::string& key, const std::string& name,
                                     std::string_view prefix) {
  auto file = ValueFile(root, key, name);
  if (!file) return std::nullopt;
  std::ifstream in(*file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  if (content.size() >= 2 && content.compare(content.size() - 2, 2, "\r\n") == 0) content.resize(content.size() - 2);
  else if (!content.empty() && content.back() == '\n') content.pop_back();
  if (content.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  return content.substr(prefix.size());
}

}  // namespace

std::optional<uint32_t> ReadRegistryDword(RegistryRoot root, const std::string& key, const std::string& name) {
  auto text = ReadTyped(root, key, name, "dword:");
  if (!text || text->empty()) return std::nullopt;
  int base = 10;
  std::string_view digits = *text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  uint64_t v = 0;
  for (char c : digits) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * base + d;
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  return static_cast<uint32_t>(v);
}

std::optional<std::string> ReadRegistryString(RegistryRoot root, const std::string& key, const std::string& name) {
  return ReadTyped(root, key, name, "sz:");
}

}  // namespace plat

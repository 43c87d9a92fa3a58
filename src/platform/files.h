#pragma once
#include <string>
#include <vector>

namespace plat {

// The path delimiter of the platform ('\\' on Windows, '/' on POSIX).
char PathDelimiter();

// Absolute form of a path (GetFullPathNameW / realpath-like, without requiring existence).
std::string AbsolutePath(const std::string& path);

struct DirEntry {
  std::string name;
  bool isDirectory = false;  // what the entry names, links followed
  bool isLink = false;       // the entry itself is a symbolic link, junction or other reparse point
};

// Plain files in `folder` whose names match the wildcard `mask` ("*", "?"),
// hidden, system and directory entries excluded, in the order the file system
// returns them. Matching follows the platform (case-insensitive on Windows).
std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask);

// Every entry of a folder ("*"), directories included, without "." and "..";
// hidden and system entries are not listed.
std::vector<DirEntry> ListFolder(const std::string& folder);

bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path);
// Makes a folder and its missing parents. True when it exists afterwards.
bool ForceDirectories(const std::string& path);
bool RemoveEmptyDirectory(const std::string& path);
bool DeleteFileAt(const std::string& path);
// Writes a whole file, creating or overwriting it.
bool WriteWholeFile(const std::string& path, const void* data, size_t size);
// As WriteWholeFile, but when `path` itself is a link (symbolic link, junction
// or other reparse point) nothing is written and its target is left as it is.
bool WriteWholeFileNoFollow(const std::string& path, const void* data, size_t size);
// True when `path` itself is a symbolic link, junction or other reparse point.
bool IsLink(const std::string& path);

}  // namespace plat

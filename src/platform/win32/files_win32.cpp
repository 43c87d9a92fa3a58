#include <windows.h>

#include "platform/files.h"
#include "platform/win32/win32_internal.h"

namespace plat {

char PathDelimiter() { return '\\'; }

std::string AbsolutePath(const std::string& path) {
  std::wstring w = Widen(path.empty() ? "." : path);
  // The answer depends on the current folder, which another thread may change
  // between the calls: ask again until it fits.
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  for (;;) {
    if (!n) return path;
    std::wstring buf(n, L'\0');
    DWORD m = GetFullPathNameW(w.c_str(), n, buf.data(), nullptr);
    if (!m) return path;
    if (m < n) return Narrow(buf.c_str(), static_cast<int>(m));
    n = m;
  }
}

static std::string WithSlash(const std::string& folder) {
  if (folder.empty()) return folder;
  char c = folder.back();
  return (c == '\\' || c == '/') ? folder : folder + "\\";
}

std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask) {
  std::vector<std::string> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Widen(WithSlash(folder) + mask).c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    if (fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
    out.push_back(Narrow(fd.cFileName));
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

std::vector<DirEntry> ListFolder(const std::string& folder) {
  std::vector<DirEntry> out;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(Widen(WithSlash(folder) + "*").c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    std::string name = Narrow(fd.cFileName);
    if (name == "." || name == "..") continue;
    if (fd.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
    out.push_back({name, (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                   (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
  } while (FindNextFileW(h, &fd));
  FindClose(h);
  return out;
}

bool DirectoryExists(const std::string& path) {
  DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path) {
  DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string p = path;
  while (p.size() > 3 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  if (DirectoryExists(p)) return true;
  size_t slash = p.find_last_of("\\/");
  if (slash != std::string::npos && slash > 0 && p[slash - 1] != ':' && !ForceDirectories(p.substr(0, slash)))
    return false;
  return CreateDirectoryW(Widen(p).c_str(), nullptr) || DirectoryExists(p);
}

bool RemoveEmptyDirectory(const std::string& path) { return RemoveDirectoryW(Widen(path).c_str()) != 0; }
bool DeleteFileAt(const std::string& path) { return DeleteFileW(Widen(path).c_str()) != 0; }

static bool Escrever(HANDLE h, const void* data, size_t size) {
  bool ok = true;
  const char* p = static_cast<const char*>(data);
  while (ok && size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size), done = 0;
    ok = WriteFile(h, p, chunk, &done, nullptr) && done == chunk;
    p += done;
    size -= done;
  }
  CloseHandle(h);
  return ok;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) {
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  return Escrever(h, data, size);
}

bool WriteWholeFileNoFollow(const std::string& path, const void* data, size_t size) {
  // Opened as it is, the link itself when it is one: refused then, and only a
  // plain file is truncated.
  HANDLE h = CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !SetEndOfFile(h)) {
    CloseHandle(h);
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  return Escrever(h, data, size);
}

bool IsLink(const std::string& path) {
  std::string p = path;
  while (p.size() > 3 && (p.back() == '\\' || p.back() == '/')) p.pop_back();
  DWORD a = GetFileAttributesW(Widen(p).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace plat

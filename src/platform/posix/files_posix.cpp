#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>

#include "platform/posix/posix_internal.h"

namespace plat {

char PathDelimiter() { return '/'; }

std::string AbsolutePath(const std::string& path) {
  std::string p = path;
  if (p.empty() || p[0] != '/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return path;
    p = std::string(cwd) + (p.empty() || p == "." ? "" : "/" + p);
  }
  // Fold "." and ".." segments without touching the file system.
  std::vector<std::string> parts;
  size_t i = 0;
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string::npos) j = p.size();
    std::string seg = p.substr(i, j - i);
    if (seg == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!seg.empty() && seg != ".") {
      parts.push_back(seg);
    }
    i = j + 1;
  }
  std::string out;
  for (auto& s : parts) out += "/" + s;
  if (out.empty()) out = "/";
  if (p.size() > 1 && p.back() == '/') out += "/";
  return out;
}

static bool IsHidden(const std::string& name) { return !name.empty() && name[0] == '.'; }

std::vector<std::string> FindFiles(const std::string& folder, const std::string& mask) {
  std::vector<std::string> out;
  DIR* d = opendir(folder.empty() ? "." : folder.c_str());
  if (!d) return out;
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base += '/';
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (IsHidden(name)) continue;
    if (fnmatch(mask.c_str(), name.c_str(), 0) != 0) continue;
    struct stat st{};
    if (stat((base + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    out.push_back(name);
  }
  closedir(d);
  return out;
}

std::vector<DirEntry> ListFolder(const std::string& folder) {
  std::vector<DirEntry> out;
  DIR* d = opendir(folder.c_str());
  if (!d) return out;
  std::string base = folder;
  if (!base.empty() && base.back() != '/') base += '/';
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st{};
    DirEntry de;
    de.name = name;
    de.isDirectory = stat((base + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    de.isLink = lstat((base + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    out.push_back(de);
  }
  closedir(d);
  return out;
}

bool DirectoryExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ForceDirectories(const std::string& path) {
  if (path.empty()) return false;
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (DirectoryExists(p)) return true;
  size_t slash = p.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !ForceDirectories(p.substr(0, slash))) return false;
  if (mkdir(p.c_str(), 0777) != 0 && !DirectoryExists(p)) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  return true;
}

bool RemoveEmptyDirectory(const std::string& path) { return rmdir(path.c_str()) == 0; }
bool DeleteFileAt(const std::string& path) { return unlink(path.c_str()) == 0; }

static bool Gravar(const std::string& path, const void* data, size_t size, int flagsExtras) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | flagsExtras, 0666);
  if (fd < 0) {
    SetLastErrorFromErrno(errno);
    return false;
  }
  const char* p = static_cast<const char*>(data);
  bool ok = true;
  while (ok && size > 0) {
    ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) {
      p += n;
      size -= static_cast<size_t>(n);
    }
  }
  if (!ok) SetLastErrorFromErrno(errno);
  return (close(fd) == 0) && ok;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size) { return Gravar(path, data, size, 0); }

bool WriteWholeFileNoFollow(const std::string& path, const void* data, size_t size) {
  return Gravar(path, data, size, O_NOFOLLOW);
}

bool IsLink(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();  // "link/" would be followed
  struct stat st{};
  return lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace plat

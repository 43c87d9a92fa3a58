// Linked into every test program of the Windows build. When the launcher
// (run.sh) names a file in DL_WINE_STARTED, the program creates it while its
// static objects are made, before main: the file's presence tells the launcher
// that wine really started the program, whatever its exit status says.
#include <cstdio>
#include <cstdlib>

namespace {

const bool kMarked = [] {
  if (const char* path = std::getenv("DL_WINE_STARTED"); path && *path) {
    if (std::FILE* f = std::fopen(path, "wb")) std::fclose(f);
  }
  return true;
}();

}  // namespace

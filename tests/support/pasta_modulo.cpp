// A module that reports its own folder as the library does, so that a test can
// load it from a folder of any length.
#include <string>

#include "support/udBibRotinas.h"

#ifdef _WIN32
#define PASTA_EXPORT extern "C" __declspec(dllexport)
#else
#define PASTA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

PASTA_EXPORT const char* PastaDaBiblioteca() {
  static std::string pasta;
  pasta = PegPastaBiblioteca("");
  return pasta.c_str();
}

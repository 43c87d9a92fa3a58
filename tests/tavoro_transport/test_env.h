// Gives every test process its own pipe folder on POSIX, so that parallel
// test runs do not meet each other's pipes.
#pragma once
#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

inline void UsePrivatePipeFolder() {
#ifndef _WIN32
  static bool done = false;
  if (done) return;
  done = true;
  std::string dir = "/tmp/dl-tavoro-test-" + std::to_string(getpid());
  setenv("DACTYLINK_PIPE_DIR", dir.c_str(), 1);
  // Removed at exit: one folder per run would otherwise pile up in /tmp.
  static struct Cleanup {
    std::string dir;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } cleanup{dir};
#endif
}

// The Tavoro simulator run as a child process, as the device service would run
// beside a Java application.
#pragma once
#include <string>
#include <vector>

namespace jnihost {

class SimProcess {
 public:
  SimProcess() = default;
  ~SimProcess() { Stop(0); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  // Starts `exe` with `args`, its standard output and error going to `log`.
  bool Start(const std::string& exe, const std::vector<std::string>& args, const std::string& log, std::string& error);
  bool Running();
  // Waits up to `ms` for the process to end on its own, then kills it.
  void Stop(int ms);

 private:
  void* process_ = nullptr;  // Windows: the process handle
  void* job_ = nullptr;      // Windows: the job that ends the process with the host
  long pid_ = 0;             // POSIX: the process id
};

}  // namespace jnihost

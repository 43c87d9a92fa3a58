#include "SimProcess.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace jnihost {

#ifdef _WIN32

namespace {
std::wstring Wide(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  w.resize(w.size() - 1);
  return w;
}

// One argument quoted the way the C runtime splits a command line.
std::wstring Quoted(const std::wstring& a) {
  std::wstring r = L"\"";
  size_t slashes = 0;
  for (wchar_t c : a) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    r.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    r += c;
  }
  r.append(slashes * 2, L'\\');
  return r + L"\"";
}
}  // namespace

bool SimProcess::Start(const std::string& exe, const std::vector<std::string>& args, const std::string& log,
                       std::string& error) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(Wide(log).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    error = "cannot create " + log;
    return false;
  }
  std::wstring line = Quoted(Wide(exe));
  for (const auto& a : args) line += L" " + Quoted(Wide(a));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  // In a job that ends with the host: a host that crashes, or that the test's
  // timeout kills, takes the simulator along and frees its pipes for the next test.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job) {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(job);
      job = nullptr;
    }
  }
  PROCESS_INFORMATION pi{};
  BOOL ok = CreateProcessW(Wide(exe).c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                           nullptr, nullptr, &si, &pi);
  CloseHandle(out);
  if (!ok) {
    error = "cannot start " + exe + " (error " + std::to_string(GetLastError()) + ")";
    if (job) CloseHandle(job);
    return false;
  }
  if (job && !AssignProcessToJobObject(job, pi.hProcess)) {
    CloseHandle(job);
    job = nullptr;  // the simulator's own time limit still ends it
  }
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  job_ = job;
  return true;
}

bool SimProcess::Running() { return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

void SimProcess::Stop(int ms) {
  if (!process_) return;
  if (WaitForSingleObject(process_, static_cast<DWORD>(ms)) == WAIT_TIMEOUT) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
  }
  CloseHandle(process_);
  process_ = nullptr;
  if (job_) CloseHandle(job_);
  job_ = nullptr;
}

#else

bool SimProcess::Start(const std::string& exe, const std::vector<std::string>& args, const std::string& log,
                       std::string& error) {
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  std::vector<std::string> all{exe};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    error = "cannot start " + exe + " (error " + std::to_string(rc) + ")";
    return false;
  }
  pid_ = pid;
  return true;
}

bool SimProcess::Running() {
  if (!pid_) return false;
  int status = 0;
  if (waitpid(static_cast<pid_t>(pid_), &status, WNOHANG) == 0) return true;
  pid_ = 0;
  return false;
}

void SimProcess::Stop(int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (Running() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (!pid_) return;
  kill(static_cast<pid_t>(pid_), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(pid_), &status, 0);
  pid_ = 0;
}

#endif

}  // namespace jnihost

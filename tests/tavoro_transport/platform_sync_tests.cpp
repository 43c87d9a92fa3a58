#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/mutexes.h"
#include "platform/errors.h"
#include "platform/pipes.h"
#include "test_env.h"

namespace {

// Windows mutex semantics: owned by a thread, recursive, released as often as taken.
TEST(NamedMutex, OwnedByOneThreadAndRecursive) {
  UsePrivatePipeFolder();
  plat::OsHandle a = plat::CreateNamedMutex("TavoTestMutexA");
  plat::OsHandle b = plat::CreateNamedMutex("TavoTestMutexA");  // same mutex, second handle
  ASSERT_TRUE(plat::IsValidOsHandle(a));
  ASSERT_TRUE(plat::IsValidOsHandle(b));
  ASSERT_EQ(plat::WaitNamedMutex(a, 0), plat::WaitResult::Acquired);
  ASSERT_EQ(plat::WaitNamedMutex(b, 0), plat::WaitResult::Acquired);  // recursion through another handle

  std::atomic<int> other{-1};
  std::thread t([&] {
    other = plat::WaitNamedMutex(b, 100) == plat::WaitResult::TimedOut ? 1 : 0;
    EXPECT_FALSE(plat::ReleaseNamedMutex(b));  // not the owner
  });
  t.join();
  EXPECT_EQ(other, 1);

  EXPECT_TRUE(plat::ReleaseNamedMutex(a));
  std::thread still([&] { other = plat::WaitNamedMutex(b, 50) == plat::WaitResult::TimedOut ? 1 : 0; });
  still.join();
  EXPECT_EQ(other, 1);  // one release left

  EXPECT_TRUE(plat::ReleaseNamedMutex(a));
  EXPECT_FALSE(plat::ReleaseNamedMutex(a));
  std::thread free([&] {
    other = plat::WaitNamedMutex(b, 1000) == plat::WaitResult::Acquired ? 1 : 0;
    plat::ReleaseNamedMutex(b);
  });
  free.join();
  EXPECT_EQ(other, 1);
  plat::CloseOsHandle(a);
  plat::CloseOsHandle(b);
}

TEST(NamedMutex, WaiterGetsItWhenReleased) {
  UsePrivatePipeFolder();
  plat::OsHandle m = plat::CreateNamedMutex("TavoTestMutexB");
  ASSERT_EQ(plat::WaitNamedMutex(m, plat::kInfinite), plat::WaitResult::Acquired);
  std::atomic<bool> got{false};
  std::thread t([&] {
    plat::OsHandle mine = plat::CreateNamedMutex("TavoTestMutexB");
    got = plat::WaitNamedMutex(mine, 5000) == plat::WaitResult::Acquired;
    plat::ReleaseNamedMutex(mine);
    plat::CloseOsHandle(mine);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(got);
  plat::ReleaseNamedMutex(m);
  t.join();
  EXPECT_TRUE(got);
  plat::CloseOsHandle(m);
}

#ifndef _WIN32
TEST(PipeNames, MapToSocketsInThePipeFolder) {
  UsePrivatePipeFolder();
  std::string dir = std::getenv("DACTYLINK_PIPE_DIR");
  EXPECT_EQ(plat::PipeNameToPath("\\\\.\\PIPE\\TavoDeviceServiceMainPipe"), dir + "/TavoDeviceServiceMainPipe");
  EXPECT_EQ(plat::PipeNameToPath("\\\\.\\pipe\\a\\b"), dir + "/a#b");
  EXPECT_EQ(plat::PipeNameToPath("\\\\HOST1\\PIPE\\x"), dir + "/HOST1/x");
  EXPECT_EQ(plat::PipeNameToPath("\\\\.\\FILE\\x"), "");
  EXPECT_EQ(plat::PipeNameToPath("C:\\x"), "");
  EXPECT_FALSE(plat::IsValidOsHandle(plat::OpenPipe("\\\\.\\PIPE\\nothing-here", true)));
  EXPECT_EQ(plat::LastError(), plat::kErrorFileNotFound);
}
#endif

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/mutexes.h"
#include "platform/errors.h"
#include "platform/handles.h"
#include "platform/pipes.h"
#include "platform/usb.h"
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

// Bounded transfers on both ends of a pipe: a read that finds nothing ends
// at its limit, the data that comes later is read whole, and (POSIX) a
// plain blocking read on the same pipe afterwards still waits for its data
// rather than ending at the limit the bounded read used.
TEST(PipeTransfers, BoundedReadsEndAtTheirLimitAndLeaveBlockingReadsAlone) {
  UsePrivatePipeFolder();
  const std::string name = "\\\\.\\PIPE\\BoundedReads";
  plat::PipeServer* server = plat::CreatePipeServer(name, 1);
  ASSERT_NE(server, nullptr);
  plat::OsHandle client = plat::OpenPipe(name, true, true);
  ASSERT_TRUE(plat::IsValidOsHandle(client));
  ASSERT_EQ(plat::AcceptPipeClient(server, 5000), 1);
  plat::UsbIo* io = plat::CreateUsbIo();
  ASSERT_TRUE(plat::ResetUsbEvent(io, plat::IoDirection::Read));
  ASSERT_TRUE(plat::ResetUsbEvent(io, plat::IoDirection::Write));

  uint8_t buf[64] = {};
  uint32_t done = 99;
  EXPECT_EQ(plat::ServerRead(server, buf, sizeof(buf), &done, 30), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(plat::ServerRead(server, buf, sizeof(buf), &done, 0), 0);
  EXPECT_EQ(plat::TransferPiece(io, plat::IoDirection::Read, client, buf, sizeof(buf), 30, &done),
            plat::PieceResult::WaitFailed);
  EXPECT_EQ(plat::LastError(), plat::kErrorSemTimeout);
  const uint8_t hello[5] = {'h', 'e', 'l', 'l', 'o'};
  ASSERT_EQ(plat::TransferPiece(io, plat::IoDirection::Write, client, const_cast<uint8_t*>(hello), 5, 5000, &done),
            plat::PieceResult::Done);
  EXPECT_EQ(done, 5u);
  ASSERT_EQ(plat::ServerRead(server, buf, sizeof(buf), &done, 5000), 1);
  EXPECT_EQ(std::string(buf, buf + done), "hello");

  // Answers that come after the reader's first limit has passed.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    plat::ServerWrite(server, "abc", 3);
#ifndef _WIN32
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    plat::ServerWrite(server, "xyz", 3);
#endif
  });
  ASSERT_EQ(plat::TransferPiece(io, plat::IoDirection::Read, client, buf, sizeof(buf), 20000, &done,
                                [] { return false; }),
            plat::PieceResult::Done);
  EXPECT_EQ(std::string(buf, buf + done), "abc");
#ifndef _WIN32
  ASSERT_TRUE(plat::ReadOsHandle(client, buf, sizeof(buf), &done)) << plat::LastError();
  EXPECT_EQ(std::string(buf, buf + done), "xyz");
#endif
  late.join();
  plat::DestroyUsbIo(io);
  plat::CloseOsHandle(client);
  plat::DestroyPipeServer(server);
}

}  // namespace

#pragma once
#include <cstdint>
#include <string>

#include "platform/handles.h"

// Named pipes "\\<machine>\PIPE\<name>".
//
// POSIX mapping: a pipe is a Unix stream socket. The folder is the value of the
// environment variable DACTYLINK_PIPE_DIR, or "/tmp/dactylink-pipes-<uid>".
// The local machine "." maps to "<folder>/<name>"; any other machine name maps
// to "<folder>/<machine>/<name>", so a "remote" service is just a server that
// listens in that subfolder (nothing leaves the host). Backslashes inside the
// name become '#'. A server instance accepts one client at a time; the
// instances one process creates for a name share one socket. Clients that
// arrive while every instance serves wait in a queue (one place for a pipe of
// one instance, one less than the instances otherwise); a client that finds
// that queue full gets kErrorPipeBusy, as a client of a Windows pipe whose
// instances are all busy does.
namespace plat {

constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorSemTimeout = 121;
constexpr uint32_t kErrorBadNetPath = 53;

// The socket path a pipe name maps to on POSIX (empty when the name is not a
// pipe name). Exposed for tests and diagnostics; on Windows the name itself.
std::string PipeNameToPath(const std::string& pipeName);

// Client side. Opens an existing pipe for reading and writing.
// shareAll: shared for reading, writing and deleting (otherwise not shared).
// overlapped: opened for overlapped I/O (only the USB stand-ins use it).
// Fails with InvalidOsHandle() and LastError() kErrorPipeBusy when every
// instance is busy, kErrorFileNotFound when no such pipe exists.
OsHandle OpenPipe(const std::string& name, bool shareAll, bool overlapped = false);

// WaitNamedPipe: true when an instance became available within timeoutMs.
// Fails with kErrorFileNotFound when the pipe does not exist, kErrorSemTimeout
// when it stayed busy.
bool WaitPipe(const std::string& name, uint32_t timeoutMs);

// Server side: one pipe instance (byte mode, duplex). Every call on it can be
// bounded, so that a server thread can notice that it should stop.
struct PipeServer;

// maxInstances: the most instances of the name (255 = unlimited); each
// instance is created by a call of its own and serves one client at a time.
// Creating more than maxInstances fails with kErrorPipeBusy.
PipeServer* CreatePipeServer(const std::string& name, uint32_t maxInstances = 1);
// Waits for a client to connect: 1 connected, 0 timed out, -1 failed.
int AcceptPipeClient(PipeServer* server, uint32_t timeoutMs);
// Ends the connection with the current client; the instance can accept again.
// What the client has not read yet may be lost (on Windows it is).
void DisconnectPipeClient(PipeServer* server);
// Transfers with the current client. Read: 1 data (done > 0), 0 timed out,
// -1 the client went away or the read failed. Write: true when all was written.
int ServerRead(PipeServer* server, void* buffer, uint32_t length, uint32_t* done, uint32_t timeoutMs);
bool ServerWrite(PipeServer* server, const void* data, uint32_t length);
// Closes the instance; what was written stays readable by a connected client,
// which then sees the end.
void DestroyPipeServer(PipeServer* server);

}  // namespace plat

// The library's exception classes. Every failure inside dactylink is an
// Exception carrying a message; the JNI frames turn them into Java exceptions.
#pragma once
#include <cstdint>
#include <exception>
#include <string>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : FMessage(std::move(message)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const noexcept { return FMessage; }

 private:
  std::string FMessage;
};

// A system call failed: "System Error.  Code: %d.\r\n%s%s" with the code and the
// system's text for it.
class EOSError : public Exception {
 public:
  EOSError(uint32_t code, std::string message) : Exception(std::move(message)), FErrorCode(code) {}
  uint32_t ErrorCode() const noexcept { return FErrorCode; }

 private:
  uint32_t FErrorCode;
};

// Builds the EOSError for a system error code (the system's text, trailing
// blanks and line breaks removed, and no additional information).
EOSError MakeOSError(uint32_t code);
[[noreturn]] void RaiseLastOSError();

#pragma once
#include <string>

namespace stub {
extern int deviceCount;
extern int countResult;
extern std::string lastMachine;
extern int calls;
}  // namespace stub

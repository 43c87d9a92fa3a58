#include "support/Excecoes.h"

#include "platform/errors.h"
#include "support/Formatar.h"

EOSError MakeOSError(uint32_t code) {
  std::string text = plat::SystemErrorText(code);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return EOSError(code, Format("System Error.  Code: %d.\r\n%s%s", static_cast<int>(code), text.c_str(), ""));
}

void RaiseLastOSError() { throw MakeOSError(plat::LastError()); }

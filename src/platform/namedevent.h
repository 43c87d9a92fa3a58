// Named events that claim a resource across processes of the same user.
// Windows: a named auto-reset event (CreateEventW, initially signalled).
// POSIX: a lock file per name, held with flock on its own open file
// description, so that a second holder in this or another process is refused
// and the claim ends when the holder's process dies.
#pragma once
#include <string>

namespace plat {

using NamedEventHandle = void*;

// Creates, or opens when it exists, the auto-reset event `name` (initially
// signalled, no namespace prefix). nullptr on failure (LastError set).
NamedEventHandle CreateOrOpenNamedEvent(const std::string& name);
// Waits at most `milliseconds` for the event; true when it was taken (the
// event is then non-signalled until SetNamedEvent).
bool WaitNamedEvent(NamedEventHandle h, unsigned milliseconds);
void SetNamedEvent(NamedEventHandle h);
void CloseNamedEvent(NamedEventHandle h);

}  // namespace plat

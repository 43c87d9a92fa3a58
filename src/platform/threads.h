#pragma once

// Scheduling of the calling thread.
namespace plat {

// Puts the calling thread below every thread of normal priority, so that it
// runs on what the machine leaves idle (background work that may wait).
// It cannot be raised again: a thread that must not wait (one that holds a
// lock others need) must never call it. False when the system refused.
bool LowerThisThreadToIdle();

}  // namespace plat

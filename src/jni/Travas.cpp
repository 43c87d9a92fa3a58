#include "jni/Travas.h"

// Both locks are plain objects with static storage: they exist from the moment
// the library is loaded and are never destroyed before its code goes away.
namespace {
std::recursive_mutex g_travaScanners;
std::recursive_mutex g_travaExtracao;
}  // namespace

std::recursive_mutex& TravaScanners() { return g_travaScanners; }
std::recursive_mutex& TravaExtracao() { return g_travaExtracao; }

// Process-wide locks of the library, created when the library is loaded.
#pragma once
#include <mutex>

// Serialises every ScannerMan and Scanner function (and the scanner list).
std::recursive_mutex& TravaScanners();
// Serialises the two NFExtractor functions.
std::recursive_mutex& TravaExtracao();

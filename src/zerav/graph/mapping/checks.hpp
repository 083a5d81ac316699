// Invariant checks of the mapping's own bookkeeping: on in debug builds and in the sanitizer
// build (ZERAV_MAPPING_CHECKS), compiled out of release builds.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace zerav::mapping {

#if defined(ZERAV_MAPPING_CHECKS) || !defined(NDEBUG)
inline constexpr bool kChecks = true;
#else
inline constexpr bool kChecks = false;
#endif

// How many checks passed on this thread since the count was last reset (the private entry
// reports it, so a test can tell that the checks ran).
inline thread_local int64_t checks_passed = 0;

// Throws std::logic_error naming the phase when `ok` is false; counts a passed check.
inline void invariant(bool ok, const char* phase, const char* what) {
    if (!ok) throw std::logic_error(std::string("mapping bookkeeping broken after ") + phase + ": " + what);
    ++checks_passed;
}

}  // namespace zerav::mapping

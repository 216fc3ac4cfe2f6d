#pragma once

namespace qova {

// Reports a call made on a thread its contract excludes, then aborts: such a call is a race that
// may corrupt state long before anything shows.
[[noreturn]] void threadContractBroken(const char* expected, const char* file, int line);

}  // namespace qova

// First statement of a method whose contract names its thread or queue: `queue` is anything with
// isCurrent() (the main queue, a serial queue). Debug builds only, so release builds pay nothing;
// the sanitizer runs build debug and exercise every check.
#ifdef NDEBUG
#define QOVA_ASSERT_ON(queue) static_cast<void>(0)
#else
#define QOVA_ASSERT_ON(queue) \
  ((queue).isCurrent() ? static_cast<void>(0) : ::qova::threadContractBroken(#queue, __FILE__, __LINE__))
#endif

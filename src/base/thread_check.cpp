#include "base/thread_check.h"

#include <cstdlib>
#include <string>

#include "base/log.h"

namespace qova {

void threadContractBroken(const char* expected, const char* file, int line) {
  Log("threads").error(std::string("called off its thread (expected ") + expected + ") at " + file + ":" +
                       std::to_string(line));
  std::abort();
}

}  // namespace qova

#ifndef VEXA_PORT_TESTING_TEST_ENVIRONMENT_H_
#define VEXA_PORT_TESTING_TEST_ENVIRONMENT_H_

// Test support: changes to the process environment.

#include <cstdlib>

namespace vexa {

// Sets (or, with null, removes) a variable of the process environment.
inline void SetTestEnvironment(const char* name, const char* value) {
#if defined(_WIN32)
  _putenv_s(name, value != nullptr ? value : "");
#else
  if (value != nullptr) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
#endif
}

}  // namespace vexa

#endif  // VEXA_PORT_TESTING_TEST_ENVIRONMENT_H_

#include "core/thread.h"

#include <pthread.h>

namespace sonvale {

void set_current_thread_name(const std::string& name) {
#if defined(__APPLE__)
  pthread_setname_np(name.c_str());
#else
  // The kernel limit is 16 bytes with the terminating NUL.
  std::string cut = name.substr(0, 15);
  (void)pthread_setname_np(pthread_self(), cut.c_str());
#endif
}

}  // namespace sonvale

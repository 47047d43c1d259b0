#include "core/parallel.h"

#include <pthread.h>
#include <sched.h>

#include <mutex>

namespace quillet {

namespace {

// Helper threads keep their buffers on the heap and need little stack; a
// small reservation lets a process under an address-space limit
// (ulimit -v) still start them.
constexpr std::size_t HELPER_STACK_BYTES = std::size_t{2} << 20;

}  // namespace

void use_small_thread_stacks() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_attr_t defaults;
    if (pthread_getattr_default_np(&defaults) != 0) return;
    std::size_t size = 0;
    if (pthread_attr_getstacksize(&defaults, &size) == 0 && size > HELPER_STACK_BYTES &&
        pthread_attr_setstacksize(&defaults, HELPER_STACK_BYTES) == 0) {
      pthread_setattr_default_np(&defaults);
    }
    pthread_attr_destroy(&defaults);
  });
}

int current_processor() { return sched_getcpu(); }

void leave_processor(int cpu) {
  if (cpu < 0 || cpu >= CPU_SETSIZE || sched_getcpu() != cpu) return;
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  cpu_set_t others = allowed;
  CPU_CLR(cpu, &others);
  if (CPU_COUNT(&others) == 0) return;
  if (sched_setaffinity(0, sizeof others, &others) == 0) sched_setaffinity(0, sizeof allowed, &allowed);
}

}  // namespace quillet

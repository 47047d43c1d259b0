#include "core/parallel.h"

#include <sched.h>

namespace quillet {

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

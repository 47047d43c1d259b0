#include <cstdio>
#include <new>

#include "driver/run.h"

// A note too large for the machine's memory ends with a message and status
// -1 instead of an abort; outputs and side files are only ever renamed into
// place whole, so nothing half-written is left behind.
int main(int argc, char** argv) {
  try {
    return quillet::run_quillet(argc, argv);
  } catch (const std::bad_alloc&) {
    std::printf("out of memory.\n");
    return -1;
  }
}

#include <csignal>
#include <cstdio>
#include <new>

#include "driver/run.h"

// A note too large for the machine's memory ends with a message and status
// -1 instead of an abort; outputs and side files are only ever renamed into
// place whole, so nothing half-written is left behind.
// A file-size limit makes a write fail ("file write error.") instead of
// ending the process with SIGXFSZ.
int main(int argc, char** argv) {
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    return quillet::run_quillet(argc, argv);
  } catch (const std::bad_alloc&) {
    std::printf("out of memory.\n");
    return -1;
  }
}

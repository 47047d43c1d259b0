// The program's entry: one run renders one note.
#pragma once

namespace quillet {

// Runs the whole note from the command line; returns the process status
// (0 after a written output, -1 on failure).
int run_quillet(int argc, const char* const* argv);

}  // namespace quillet

// The quillet program: renders one note from the command line.
#include "driver/run.h"

int main(int argc, char** argv) { return quillet::run_quillet(argc, argv); }

#include "driver/run.h"

int main(int argc, char** argv) { return quillet::run_quillet(argc, argv); }

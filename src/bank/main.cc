// quillet-bank: analyses, checks and draws the pitch side files of a voice bank.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bank/analyse_command.h"
#include "bank/bank_usage.h"
#include "bank/check_command.h"
#include "bank/plot_command.h"

namespace {

struct Subcommand {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

constexpr Subcommand kSubcommands[] = {
    {"analyse", quillet::run_analyse_command},
    {"check", quillet::run_check_command},
    {"plot", quillet::run_plot_command},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(quillet::bank_usage_text(), stderr);
    return quillet::EXIT_BAD_USAGE;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(quillet::bank_usage_text(), stdout);
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const Subcommand& subcommand : kSubcommands) {
    if (command == subcommand.name) return subcommand.run(args);
  }
  return quillet::usage_error("unknown command " + command);
}

// The binary frequency list reader on arbitrary bytes: a list it accepts has
// one spare entry after its steps and only usable numbers.
#include <cmath>
#include <cstdint>

#include "analysis/frequency_files.h"
#include "fuzz_input.h"
#include "list_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace quillet;
  const std::string input = fuzz::scratch().file("voice.wav");
  fuzz::write_bytes(side_file_name(input, ".frq"), data, size);
  const std::optional<FrequencyList> list = read_frq(input);
  if (!list) return 0;
  QUILLET_FUZZ_CHECK(40 + 16 * static_cast<std::size_t>(list->length) <= size);
  fuzz::check_read_list(*list);
  return 0;
}

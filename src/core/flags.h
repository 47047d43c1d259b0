// The flags word: letters found by their first occurrence (case-sensitive),
// each optionally followed by a number read like "%lf" or "%d".
#pragma once

#include <cstdio>
#include <string>

namespace quillet {

// Text right after the first occurrence of letter, or nullptr when absent.
inline const char* flag_text(const std::string& flags, char letter) {
  const std::size_t at = flags.find(letter);
  return at == std::string::npos ? nullptr : flags.c_str() + at + 1;
}

inline bool has_flag(const std::string& flags, char letter) {
  return flags.find(letter) != std::string::npos;
}

// When letter is present, reads a "%lf" number after it into value (an
// unreadable number leaves value as it was). Returns whether letter is present.
inline bool read_flag_double(const std::string& flags, char letter, double& value) {
  const char* text = flag_text(flags, letter);
  if (text == nullptr) return false;
  double parsed = 0.0;
  if (std::sscanf(text, "%lf", &parsed) == 1) value = parsed;
  return true;
}

// As read_flag_double, with a "%d" number.
inline bool read_flag_int(const std::string& flags, char letter, int& value) {
  const char* text = flag_text(flags, letter);
  if (text == nullptr) return false;
  int parsed = 0;
  if (std::sscanf(text, "%d", &parsed) == 1) value = parsed;
  return true;
}

// Reads a whole word like "%lf" / "%d" into value; an unreadable word leaves it.
inline bool read_word_double(const char* word, double& value) {
  double parsed = 0.0;
  if (word == nullptr || std::sscanf(word, "%lf", &parsed) != 1) return false;
  value = parsed;
  return true;
}

inline bool read_word_int(const char* word, int& value) {
  int parsed = 0;
  if (word == nullptr || std::sscanf(word, "%d", &parsed) != 1) return false;
  value = parsed;
  return true;
}

}  // namespace quillet

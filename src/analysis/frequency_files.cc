#include "analysis/frequency_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/atomic_file.h"

namespace quillet {

namespace {

constexpr char FRQ_MAGIC[] = "FREQ0003";
constexpr std::size_t FRQ_HEADER_BYTES = 40;
constexpr std::size_t FRQ_RECORD_BYTES = 16;
constexpr char FRT_HEADER[] = "frequencies list Ver0.03";
constexpr int FRT_LINE_BYTES = 512;  // lines are read up to 511 characters

// ---- little-endian fields -------------------------------------------------

void put_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

void put_f64(std::string& out, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((bits >> (8 * i)) & 0xff));
}

uint64_t get_bytes(const unsigned char* in, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | in[i];
  return value;
}

int32_t get_i32(const unsigned char* in) {
  return static_cast<int32_t>(static_cast<uint32_t>(get_bytes(in, 4)));
}

double get_f64(const unsigned char* in) {
  const uint64_t bits = get_bytes(in, 8);
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// ---- shared reading rules --------------------------------------------------

// Opens path for reading only if it is a regular file (a FIFO or device
// named like a side file must not block or stream forever). size receives
// its length in bytes.
std::FILE* open_regular_file(const std::string& path, long long& size) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  size = static_cast<long long>(info.st_size);
  std::FILE* file = fdopen(fd, "rb");
  if (file == nullptr) close(fd);
  return file;
}

double sanitised_freq(double freq) { return std::isfinite(freq) && freq > 0.0 ? freq : UNVOICED_HZ; }
double sanitised_amp(double amp) { return std::isfinite(amp) ? amp : 0.0; }
bool usable_average(double freq_avg) { return std::isfinite(freq_avg) && freq_avg > 0.0; }

// A list of the given steps with the spare last entry repeating the one before.
FrequencyList finished_list(double freq_avg, std::vector<double> freq, std::vector<double> amp) {
  FrequencyList list;
  list.freq_avg = freq_avg;
  list.step = BLOCK_STEP;
  list.length = static_cast<int32_t>(freq.size());
  freq.push_back(freq.back());
  amp.push_back(amp.back());
  list.freq = std::move(freq);
  list.amp = std::move(amp);
  return list;
}

// ---- binary list ---------------------------------------------------------------

std::optional<FrequencyList> read_frq_body(std::FILE* file, long long size) {
  unsigned char header[FRQ_HEADER_BYTES];
  if (std::fread(header, 1, sizeof header, file) != sizeof header) return std::nullopt;
  if (std::memcmp(header, FRQ_MAGIC, 8) != 0 || get_i32(header + 8) != BLOCK_STEP) {
    return std::nullopt;
  }
  const double freq_avg = get_f64(header + 12);
  const int32_t count = get_i32(header + 36);
  if (!usable_average(freq_avg) || count <= 0) return std::nullopt;
  const long long records_held = (size - static_cast<long long>(FRQ_HEADER_BYTES)) /
                                 static_cast<long long>(FRQ_RECORD_BYTES);
  if (count > records_held) return std::nullopt;
  std::vector<double> freq(count);
  std::vector<double> amp(count);
  unsigned char record[FRQ_RECORD_BYTES];
  for (int32_t i = 0; i < count; ++i) {
    if (std::fread(record, 1, sizeof record, file) != sizeof record) return std::nullopt;
    freq[i] = sanitised_freq(get_f64(record));
    amp[i] = sanitised_amp(get_f64(record + 8));
  }
  return finished_list(freq_avg, std::move(freq), std::move(amp));
}

// ---- text list -------------------------------------------------------------------

struct FrtHeader {
  double freq_avg = std::numeric_limits<double>::quiet_NaN();  // NaN until a line gives it
  int step = BLOCK_STEP;
  int length = 0;
};

bool starts_with(const char* line, const char* prefix) {
  return std::strncmp(line, prefix, std::strlen(prefix)) == 0;
}

bool is_blank_line(const char* line) {
  return line[0] == '\0' || std::strcmp(line, "\n") == 0 || std::strcmp(line, "\r\n") == 0;
}

// Reads header lines up to the blank line. False when the file ends first.
bool read_frt_header(std::FILE* file, FrtHeader& header) {
  char line[FRT_LINE_BYTES];
  for (;;) {
    if (std::fgets(line, sizeof line, file) == nullptr) return false;
    if (is_blank_line(line)) return true;
    if (starts_with(line, "freq_avg: ")) {
      std::sscanf(line, "freq_avg: %lfHz", &header.freq_avg);
    } else if (starts_with(line, "step: ")) {
      std::sscanf(line, "step: %d", &header.step);
    } else if (starts_with(line, "length: ")) {
      std::sscanf(line, "length: %d", &header.length);
    }
  }
}

// Reads length rows "amp<tab>freqHz..."; a row without both numbers is an
// unvoiced step of amplitude 0. Absent when the file ends before the last row.
std::optional<FrequencyList> read_frt_rows(std::FILE* file, const FrtHeader& header) {
  std::vector<double> freq;
  std::vector<double> amp;
  const int initial = header.length < 65536 ? header.length : 65536;
  freq.reserve(initial + 1);
  amp.reserve(initial + 1);
  char line[FRT_LINE_BYTES];
  for (int i = 0; i < header.length; ++i) {
    if (std::fgets(line, sizeof line, file) == nullptr) return std::nullopt;
    double row_amp = 0.0;
    double row_freq = UNVOICED_HZ;
    if (std::sscanf(line, "%lf\t%lfHz", &row_amp, &row_freq) != 2) {
      row_amp = 0.0;
      row_freq = UNVOICED_HZ;
    }
    amp.push_back(sanitised_amp(row_amp));
    freq.push_back(sanitised_freq(row_freq));
  }
  return finished_list(header.freq_avg, std::move(freq), std::move(amp));
}

std::optional<FrequencyList> read_frt_body(std::FILE* file, long long size) {
  char line[FRT_LINE_BYTES];
  if (std::fgets(line, sizeof line, file) == nullptr) return std::nullopt;
  if (std::strncmp(line, FRT_HEADER, std::strlen(FRT_HEADER)) != 0) return std::nullopt;
  FrtHeader header;
  if (!read_frt_header(file, header)) return std::nullopt;
  if (header.step != BLOCK_STEP || header.length <= 0) return std::nullopt;
  if (!usable_average(header.freq_avg)) return std::nullopt;
  if (header.length > size) return std::nullopt;  // every row takes at least one byte
  return read_frt_rows(file, header);
}

// Appends printf-formatted text to out.
template <typename... Args>
void append_format(std::string& out, const char* format, Args... args) {
  const int needed = std::snprintf(nullptr, 0, format, args...);
  if (needed <= 0) return;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(needed) + 1);
  std::snprintf(out.data() + start, static_cast<std::size_t>(needed) + 1, format, args...);
  out.resize(start + static_cast<std::size_t>(needed));
}

}  // namespace

std::string side_file_name(const std::string& path, const std::string& extension) {
  std::string name = path + extension;
  const std::size_t at = name.find(".wav" + extension);
  if (at != std::string::npos) name[at] = '_';
  return name;
}

std::optional<FrequencyList> read_frq(const std::string& path) {
  long long size = 0;
  std::FILE* file = open_regular_file(side_file_name(path, ".frq"), size);
  if (file == nullptr) return std::nullopt;
  std::optional<FrequencyList> list = read_frq_body(file, size);
  std::fclose(file);
  return list;
}

std::optional<FrequencyList> read_frt(const std::string& path) {
  long long size = 0;
  std::FILE* file = open_regular_file(side_file_name(path, ".frt"), size);
  if (file == nullptr) return std::nullopt;
  std::optional<FrequencyList> list = read_frt_body(file, size);
  std::fclose(file);
  return list;
}

// Header: magic, step, freq_avg, two reserved doubles, count; then one
// (freq, amp) record per step.
bool write_frq(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg) {
  if (count < 0 || (count > 0 && (freq == nullptr || amp == nullptr))) return false;
  std::string bytes(FRQ_MAGIC, 8);
  bytes.reserve(FRQ_HEADER_BYTES + FRQ_RECORD_BYTES * static_cast<std::size_t>(count));
  put_u32(bytes, BLOCK_STEP);
  put_f64(bytes, freq_avg);
  put_f64(bytes, 0.0);
  put_f64(bytes, 0.0);
  put_u32(bytes, static_cast<uint32_t>(count));
  for (int i = 0; i < count; ++i) {
    put_f64(bytes, freq[i]);
    put_f64(bytes, amp[i]);
  }
  return replace_file_contents(side_file_name(path, ".frq"), bytes);
}

// Header lines, a blank line, then "amp<tab>freqHz<tab>(label)" per step;
// every line ends in CR LF.
bool write_frt(const std::string& path, const double* freq, const double* amp, int count,
               double freq_avg, const FrequencyGrid& grid) {
  if (count < 0 || (count > 0 && (freq == nullptr || amp == nullptr))) return false;
  std::string text = "frequencies list Ver0.03\r\n";
  append_format(text, "freq_avg: %0.5lfHz (%s)\r\n", freq_avg, note_label(grid, freq_avg).c_str());
  append_format(text, "step: %d\r\n", BLOCK_STEP);
  append_format(text, "length: %d\r\n", count);
  text += "\r\n";
  for (int i = 0; i < count; ++i) {
    append_format(text, "%5.5lf\t%0.5lfHz\t(%s)\r\n", amp[i], freq[i],
                  note_label(grid, freq[i]).c_str());
  }
  return replace_file_contents(side_file_name(path, ".frt"), text);
}

// Grid index + 90 counts tenths of a semitone from C0 shifted so that
// -0.4..+0.5 around a note names that note; the octave number changes at C.
std::string note_label(const FrequencyGrid& grid, double frequency) {
  static const char names[] = "C C#D D#E F F#G G#A A#B ";
  const int m = nearest_grid_index(grid, frequency) + 90;
  const int semitone = (m + 4) / 10;
  std::string name(names + 2 * (semitone % 12), 2);
  if (name[1] == ' ') name.pop_back();
  const int tenths = (m + 4) % 10 - 4;
  const int octave = semitone / 12 + 1;
  char label[32];
  if (tenths == 0) {
    std::snprintf(label, sizeof label, "%s%d", name.c_str(), octave);
  } else {
    std::snprintf(label, sizeof label, "%s%d %+0.1f", name.c_str(), octave, tenths * 0.1);
  }
  return label;
}

}  // namespace quillet

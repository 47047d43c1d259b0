// Constants shared by every subsystem of the renderer.
#pragma once

namespace quillet {

inline constexpr int OUTPUT_RATE = 44100;   // output samples per second
inline constexpr int BLOCK_STEP = 256;      // input frames per block index and per frequency-list step
inline constexpr int BLOCK_LENGTH = 3072;   // frames per converted block; zero tail of the sample store
inline constexpr int BLOCK_LEAD = 1408;     // frames a synthesis block holds before its block start

// The literal values of pi and 2 pi that every table and phase uses.
inline constexpr double PI = 3.14159265358979;
inline constexpr double TWO_PI = 6.28318530717958;

}  // namespace quillet

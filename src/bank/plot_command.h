// quillet-bank plot: draws one sample's spectrogram with its side file's
// pitch curve, and with --compare the other method's curve.
#pragma once

#include <string>
#include <vector>

namespace quillet {

// The picture's default name: the side file's name with ".png"
// ("voice.wav" gives "voice_wav.png").
std::string default_picture_name(const std::string& sample_path);

// The whole subcommand (the words after "plot"); returns the exit status.
int run_plot_command(const std::vector<std::string>& args);

}  // namespace quillet

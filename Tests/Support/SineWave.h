#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <filesystem>
#include <numbers>
#include <vector>

namespace testsupport {

// A stereo 1 kHz sine at `amplitude` as a 32-bit float WAV file of `seconds` at 48 kHz: a signal whose peak and
// loudness are known (an amplitude of 0.1 is -20 dBFS, about -20 LUFS).
inline void WriteSine(std::filesystem::path const& path, double amplitude, int seconds = 1) {
  SF_INFO info{};
  info.samplerate = 48000;
  info.channels = 2;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  std::vector<float> frames(2 * 48000);
  for (std::size_t i = 0; i < 48000; ++i) {
    frames[2 * i] = frames[2 * i + 1] =
        static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
  }
  for (int s = 0; s < seconds; ++s) ASSERT_EQ(sf_writef_float(file, frames.data(), 48000), 48000);
  sf_close(file);
}

}  // namespace testsupport

#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "Support/TempDirectory.h"

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

// A WAV file of 16-bit stereo at 48 kHz whose `dataBytes` of samples are seeded noise: media whose bytes differ from
// file to file, for analyzers that read any media. Returns the whole file's bytes.
inline std::string WriteNoiseWav(std::filesystem::path const& path, std::uint32_t dataBytes, std::uint32_t seed) {
  auto const le = [](std::uint32_t value, int size) {
    std::string bytes;
    for (int i = 0; i < size; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
  };
  dataBytes -= dataBytes % 4;  // whole frames
  std::string file = "RIFF" + le(36 + dataBytes, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) + le(2, 2) + le(48000, 4) +
                     le(48000 * 4, 4) + le(4, 2) + le(16, 2) + "data" + le(dataBytes, 4);
  std::vector<char> const noise = RandomBytes(dataBytes, seed);
  file.append(noise.begin(), noise.end());
  std::ofstream(path, std::ios::binary) << file;
  return file;
}

}  // namespace testsupport

#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Support/TempDirectory.h"

// Files that a media reader must not take at their word, made with the ffmpeg command-line tool: playlists and scripts
// that name other files, and a container that declares pictures far larger than it holds.
namespace testsupport::media {

// Files that FFmpeg would read by reading `target` (a file name relative to their folder): an HLS playlist and a
// concatenation script, written in `folder`.
inline std::vector<std::filesystem::path> WriteFilesReferringTo(std::filesystem::path const& folder,
                                                                std::string const& target) {
  WriteFile(folder / "list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + target + "\n#EXT-X-ENDLIST\n");
  WriteFile(folder / "list.ffconcat", "ffconcat version 1.0\nfile " + target + "\n");
  return {folder / "list.m3u8", folder / "list.ffconcat"};
}

// A Matroska file of `seconds`: 256x256 FFV1 pictures and a mono tone (0.7 MB for 4 s), whose header then says the
// pictures are `width` x `height` (each below 65536). FFV1 takes its picture size from the container, so a decoder
// that believed 16000x16000 would decode 256 megapixels a picture out of a few kilobytes.
inline void WriteMatroskaDeclaring(std::filesystem::path const& path, int width, int height, int seconds = 4) {
  std::string const command =
      "ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i testsrc=size=256x256:rate=25:duration=" +
      std::to_string(seconds) + " -f lavfi -i sine=duration=" + std::to_string(seconds) +
      " -c:v ffv1 -c:a pcm_s16le '" + path.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  std::string bytes = ReadFile(path);
  // PixelWidth (0xB0) and PixelHeight (0xBA), each a two-byte number: 256 becomes the size wanted, in place.
  struct Element {
    char id;
    int value;
  };
  for (Element const element : {Element{'\xB0', width}, Element{'\xBA', height}}) {
    std::size_t const at = bytes.find(std::string{element.id, '\x82', '\x01', '\x00'});
    ASSERT_NE(at, std::string::npos);
    ASSERT_LT(at, 4096u);  // in the track header, not in the pictures' data
    bytes[at + 2] = static_cast<char>(element.value >> 8);
    bytes[at + 3] = static_cast<char>(element.value & 0xFF);
  }
  WriteFile(path, bytes);
}

// 16000x16000 pictures declared by a 0.7 MB file.
inline void WriteOversizedMatroska(std::filesystem::path const& path) { WriteMatroskaDeclaring(path, 16000, 16000); }

}  // namespace testsupport::media

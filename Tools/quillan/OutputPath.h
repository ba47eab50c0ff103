#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace Quillan::Cli {

// A file that a command writes for the user (a picture, waveform data, a raw value), kept from taking the place of
// anything the command reads: an input media file, a sidecar (beside an input media file or given as one), an
// analyzer module. Files are compared by device and inode, so a symbolic link, a hard link or another spelling of an
// input's path counts as the input. No file with the sidecar extension is written: only the sidecar store writes
// those. An existing file is replaced only when the user said so (-y). Not thread-safe.
class OutputPath {
 public:
  // `path` as given to -o; `command` names the subcommand whose usage goes with a refusal ("waveform").
  OutputPath(std::string path, bool overwrite, std::string command);

  // A media file the command reads; its sidecar (the path with the sidecar extension) is kept too.
  OutputPath& ReadsMedia(std::string const& path);
  // Any other file the command reads, with what it is for messages ("the sidecar", "the analyzer module").
  OutputPath& Reads(std::string const& path, std::string const& what);

  // Throws UsageError, naming the file it would replace, when the path may not be written: no file name, the sidecar
  // extension, the same file as an input, not a regular file, or an existing file without -y. Call before the
  // command does any work, so that a refusal touches nothing.
  void Check() const;

  // Writes `bytes` to the path atomically (a new file renamed over the path) after checking it again on the final
  // path right before the rename, so that an input linked there meanwhile is not replaced either; without -y, a file
  // that appeared meanwhile is not replaced. Throws UsageError for a refusal, Pictures::PictureError when the file
  // cannot be written.
  void Write(std::span<std::uint8_t const> bytes) const;

  std::string const& Path() const { return path_; }

 private:
  // The checks that hold whatever the user said about replacing.
  void CheckNotAnInput() const;

  struct Input {
    std::string path;
    std::string what;  // for messages: "the media file \"a.wav\""
  };

  std::string path_;
  bool overwrite_;
  std::string command_;
  std::vector<Input> inputs_;
};

}  // namespace Quillan::Cli

#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Quillan::Cli {

// `quillan waveform` and `quillan scenes`: pictures of the peaks and scenes analyzers' results, got through the host
// as `quillan analyze` gets them (computed, or served from the cache).
class PictureCommands {
 public:
  // Declares both commands on `app`.
  void AddTo(CLI::App& app);
  // Runs the command at `path` ("waveform", "scenes"); empty when it is not one of these.
  std::optional<int> Run(std::string const& path) const;

 private:
  int RunWaveform() const;
  int RunScenes() const;

  struct Waveform {
    std::string file;
    std::string output;
    bool overwrite = false;
    int width = 1800;
    int height = 280;
    std::string channels = "split";
    std::string scale = "linear";
    std::string from;
    std::string to;
    std::string format = "png";
    int bits = 8;
    std::vector<std::string> modules;
  } waveform_;

  struct Scenes {
    std::string file;
    std::string output;
    bool overwrite = false;
    std::optional<double> threshold;
    int thumbnailHeight = 120;
    int maxWidth = 1800;
    std::size_t maxScenes = 200;
    bool marks = false;
    std::vector<std::string> modules;
  } scenes_;
};

}  // namespace Quillan::Cli

#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Quillan::Cli {

// `quillan export FILE... --to FORMAT [-o OUT] [--analyzer NAME...]`: the events of media files (cuts, silences,
// beats) in a form that editors and players read, from the stored results, or computed and stored as `quillan
// analyze` does when there are none.
class ExportCommand {
 public:
  // Declares the command on `app`.
  void AddTo(CLI::App& app);
  // Runs it when `path` is "export"; empty otherwise.
  std::optional<int> Run(std::string const& path) const;

 private:
  int RunExport() const;

  std::vector<std::string> files_;
  std::string format_;
  std::string output_;
  bool overwrite_ = false;
  std::vector<std::string> analyzers_;
};

}  // namespace Quillan::Cli

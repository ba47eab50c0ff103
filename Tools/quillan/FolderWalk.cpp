#include "quillan/FolderWalk.h"

#include "quillan/TextTable.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

void WalkFolder(std::string const& folder, bool recursive,
                std::function<bool(std::filesystem::directory_entry const&)> const& visit) {
  std::error_code error;
  auto const options = std::filesystem::directory_options::skip_permission_denied;
  if (recursive) {
    for (auto it = std::filesystem::recursive_directory_iterator(folder, options, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (!visit(*it)) it.disable_recursion_pending();
    }
  } else {
    for (auto it = std::filesystem::directory_iterator(folder, options, error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
      visit(*it);
    }
  }
  if (error) throw CommandFailure("cannot read the folder " + Printable(folder) + ": " + error.message());
}

}  // namespace Quillan::Cli

#include "quillan/OutputPath.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <utility>

#include "DataStoreAdaptors/SidecarDataStoreAdaptor.h"
#include "Pictures/PictureFile.h"
#include "quillan/TextTable.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {
namespace {

bool EqualsIgnoringCase(std::string const& a, std::string const& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

OutputPath::OutputPath(std::string path, bool overwrite, std::string command)
    : path_(std::move(path)), overwrite_(overwrite), command_(std::move(command)) {}

OutputPath& OutputPath::ReadsMedia(std::string const& path) {
  inputs_.push_back({.path = path, .what = "the media file " + Printable(path)});
  // Where the sidecar store keeps the media's results (see ResolveSidecarLocation).
  std::filesystem::path sidecar(path);
  sidecar.replace_extension(SidecarDataStoreAdaptor::kDefaultSidecarExtension);
  inputs_.push_back(
      {.path = sidecar.string(), .what = "the sidecar " + Printable(sidecar.string()) + " of " + Printable(path)});
  return *this;
}

OutputPath& OutputPath::Reads(std::string const& path, std::string const& what) {
  inputs_.push_back({.path = path, .what = what + " " + Printable(path)});
  return *this;
}

void OutputPath::CheckNotAnInput() const {
  std::filesystem::path const path(path_);
  if (path_.empty() || !path.has_filename()) throw UsageError("-o needs a file name", command_);
  std::string const& sidecarExtension = SidecarDataStoreAdaptor::kDefaultSidecarExtension;
  if (EqualsIgnoringCase(path.extension().string(), sidecarExtension)) {
    throw UsageError("not writing " + Printable(path_) + ": files ending in " + sidecarExtension +
                         " are sidecars, which only the analyzers' cache writes; choose another output name",
                     command_);
  }
  // Through any link: what would be replaced or written through is the file the path leads to.
  struct stat output {};
  if (::stat(path_.c_str(), &output) == 0) {
    for (Input const& input : inputs_) {
      struct stat read {};
      if (::stat(input.path.c_str(), &read) == 0 && read.st_dev == output.st_dev && read.st_ino == output.st_ino) {
        throw UsageError("not writing " + Printable(path_) + ": it is " + input.what +
                             ", which this command reads; choose another output path",
                         command_);
      }
    }
  }
  struct stat entry {};
  if (::lstat(path_.c_str(), &entry) == 0 && !S_ISREG(entry.st_mode)) {
    throw UsageError("not writing " + Printable(path_) + ": it is " + Pictures::NonRegularFileKind(entry.st_mode) +
                         ", not a regular file; choose another output path",
                     command_);
  }
}

void OutputPath::Check() const {
  CheckNotAnInput();
  struct stat entry {};
  if (!overwrite_ && ::lstat(path_.c_str(), &entry) == 0) {
    throw UsageError(Printable(path_) + " exists; pass -y (--overwrite) to replace it", command_);
  }
}

void OutputPath::Write(std::span<std::uint8_t const> bytes) const {
  try {
    Pictures::WritePictureFile(path_, bytes, {overwrite_, [this] { CheckNotAnInput(); }});
  } catch (Pictures::PictureExistsError const&) {
    throw UsageError(Printable(path_) + " exists; pass -y (--overwrite) to replace it", command_);
  }
}

}  // namespace Quillan::Cli

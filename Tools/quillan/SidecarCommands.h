#pragma once

#include <filesystem>
#include <memory>

#include <optional>
#include <string>
#include <vector>
#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"

#include "quillan/OutputFormat.h"
#include "quillan/ToolErrors.h"

namespace Quillan::Cli {

// Reads and decodes a sidecar file as the sidecar store does: a missing or empty file fails with "Sidecar file not
// found" (kResultSidecarFileNotFound); read errors and the decoder's format errors pass through as they are.
std::shared_ptr<SideCarSerializationData> ReadSidecarFile(std::filesystem::path const& path);

// The arguments of `quillan sidecar get`.
struct SidecarGetOptions {
  std::string file;
  std::string analyzer;                   // a name or GUID
  std::optional<std::string> dataSource;  // needed only when the file holds several items of the analyzer
  std::optional<std::string> key;         // needed only when the item holds several values
  std::optional<std::string> output;      // stdout when empty
  bool overwrite = false;                 // replace an existing output file
  std::vector<std::string> modules;
};

// `quillan sidecar dump FILE`: every item and value, each value described by its analyzer.
int RunSidecarDump(std::string const& file, OutputFormat format, std::vector<std::string> const& modules);
// `quillan sidecar get FILE --analyzer NAME [--data-source TEXT] [--key TEXT] [-o OUT [-y]]`: the raw bytes of one
// value, written to OUT as the picture commands write theirs (never over FILE, a sidecar or, without -y, any file).
int RunSidecarGet(SidecarGetOptions const& options);
// `quillan sidecar verify FILE...`
int RunSidecarVerify(std::vector<std::string> const& files);

// The arguments of `quillan sidecar clean`.
struct SidecarCleanOptions {
  std::vector<std::string> paths;  // sidecars, media files (their sidecar is meant) and folders
  bool recursive = false;          // the sidecars in the folders' subfolders too
  bool dryRun = false;             // list what would go; remove nothing
};
// `quillan sidecar clean [-r] [--dry-run] PATH...`: removes sidecar files, each only when it is a regular file that
// decodes as a sidecar, under the lock its writers take. Files that are not sidecars are named and left.
int RunSidecarClean(SidecarCleanOptions const& options);

}  // namespace Quillan::Cli

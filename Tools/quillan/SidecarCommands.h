#pragma once

#include <filesystem>
#include <memory>

#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "quillan/CommandLine.h"

namespace Quillan::Cli {

// Reads and decodes a sidecar file as the sidecar store does: a missing or empty file fails with "Sidecar file not
// found" (kResultSidecarFileNotFound); read errors and the decoder's format errors pass through as they are.
std::shared_ptr<SideCarSerializationData> ReadSidecarFile(std::filesystem::path const& path);

// `quillan sidecar dump FILE [--json]`, `quillan sidecar get FILE --analyzer GUID --data-source TEXT --key TEXT
// [-o OUT]` and `quillan sidecar verify FILE...`.
int RunSidecarCommand(ArgumentCursor& arguments);

}  // namespace Quillan::Cli

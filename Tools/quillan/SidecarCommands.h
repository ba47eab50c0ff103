#pragma once

#include <filesystem>
#include <memory>

#include "DataStoreAdaptors/SidecarDataStoreAdaptorSerialization.h"
#include "quillan/CommandActions.h"

namespace Quillan::Cli {

// Reads and decodes a sidecar file as the sidecar store does: a missing or empty file fails with "Sidecar file not
// found" (kResultSidecarFileNotFound); read errors and the decoder's format errors pass through as they are.
std::shared_ptr<SideCarSerializationData> ReadSidecarFile(std::filesystem::path const& path);

// Declares `quillan sidecar dump|get|verify|clean` on `app`, with their actions: the items of a sidecar file described,
// the raw bytes of one value, a check that files decode, and the removal of sidecar files that decode as such.
void AddSidecarCommands(CLI::App& app, CommandActions& actions);

}  // namespace Quillan::Cli

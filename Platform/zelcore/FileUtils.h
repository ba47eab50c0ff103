#pragma once

#include <filesystem>
#include <string>

#include "zelcore/Export.h"
#include "zelcore/RecycledMemory.h"

namespace zelcore::FileUtils {

// Reads the whole file at `path` (UTF-16) into a new blob. Throws config::zel_exception kResultFileRead, with
// a message that names the path and the system's reason, when the file cannot be opened or read (missing, a
// directory, no permission, an I/O error) or when the path is not valid UTF-16. May be called from any thread.
ZELCORE_EXPORT Blob SimpleReadFileIntoBuffer(std::u16string const& path);
// The same for a path in the file system's own form.
ZELCORE_EXPORT Blob ReadFileIntoBuffer(std::filesystem::path const& path);

}  // namespace zelcore::FileUtils

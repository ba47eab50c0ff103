#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "MF/DataCacheChain.h"
#include "MF/DiskCacheManager.h"
#include "Platform/MF/Helper/TestSupport.h"
#include "Support/TempDirectory.h"
#include "zelcore/ZelException.h"

namespace MF::testing {

using TempFolder = testsupport::TempDirectory;

// A folder, source or item name as the cache takes it.
inline ImmutableString NameOf(std::string const& text) { return ImmutableString::Create(text); }

struct OpenedDisk {
  std::shared_ptr<DataCache> cache;
  std::shared_ptr<DiskCacheManager::ManagedDirectory> directory;
};

inline OpenedDisk OpenDisk(ImmutableString const& folder, bool trackLastUse = true, bool clearExisting = false) {
  OpenedDisk opened;
  opened.cache =
      CreateDataCacheInFilesystemAndManageDirectory(folder, opened.directory, true, trackLastUse, clearExisting);
  return opened;
}

inline zelcore::config::Result ResultOf(zelcore::async::UntypedFuture const& future) {
  zelcore::async::WaitForUntypedUntil(future, std::chrono::steady_clock::now() + kWaitLimit, true);
  return zelcore::config::ExtractResultFromException(future.GetException());
}

inline zelcore::config::Result Code(ResultCode code) { return static_cast<zelcore::config::Result>(code); }

}  // namespace MF::testing

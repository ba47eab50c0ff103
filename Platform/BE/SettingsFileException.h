#pragma once

#include <filesystem>
#include <string>

#include "BE/Export.h"
#include "zelcore/ZelException.h"

namespace BE {

// The settings file cannot be read or written, or one of its entries is not what the reader needs. Carries the
// file and, for a problem with one entry, its key; the message names both. Result code kResultSettingsFile.
class BE_EXPORT exSettingsFile : public zelcore::config::zel_exception {
 public:
  // `key` is empty when the problem is the file as a whole.
  exSettingsFile(std::filesystem::path file, std::string key, std::string const& problem);
  exSettingsFile(exSettingsFile const&);
  exSettingsFile& operator=(exSettingsFile const&);
  ~exSettingsFile() override;

  std::filesystem::path const& GetFilePath() const { return file_; }
  std::string const& GetKey() const { return key_; }

 private:
  std::filesystem::path file_;
  std::string key_;
};

}  // namespace BE

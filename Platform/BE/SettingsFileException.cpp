#include "BE/SettingsFileException.h"

#include "BE/Result.h"

namespace BE {
namespace {

std::string MessageOf(std::filesystem::path const& file, std::string const& key, std::string const& problem) {
  std::string message = "settings file " + file.string();
  if (!key.empty()) message += ", key \"" + key + "\"";
  return message + ": " + problem;
}

}  // namespace

exSettingsFile::exSettingsFile(std::filesystem::path file, std::string key, std::string const& problem)
    : zel_exception(MessageOf(file, key, problem), kResultSettingsFile), file_(std::move(file)), key_(std::move(key)) {}

exSettingsFile::exSettingsFile(exSettingsFile const&) = default;
exSettingsFile& exSettingsFile::operator=(exSettingsFile const&) = default;
exSettingsFile::~exSettingsFile() = default;

}  // namespace BE

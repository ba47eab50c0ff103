#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh directory for one test, removed with everything in it when the test ends.
class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = (std::filesystem::path(testing::TempDir()) / "quillan-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(TempDirectory const&) = delete;
  TempDirectory& operator=(TempDirectory const&) = delete;

  std::filesystem::path const& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

inline std::vector<char> RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  std::vector<char> bytes(size);
  for (auto& byte : bytes) byte = static_cast<char>(engine());
  return bytes;
}

inline void WriteFile(std::filesystem::path const& path, std::string_view bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFile(std::filesystem::path const& path, std::vector<char> const& bytes) {
  WriteFile(path, std::string_view(bytes.data(), bytes.size()));
}

inline std::string ReadFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace testsupport

#include "Pictures/PictureFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "Support/TempDirectory.h"

namespace Quillan::Pictures {
namespace {

namespace fs = std::filesystem;

void Write(fs::path const& path, std::string const& text) {
  WritePictureFile(path, std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()));
}

std::vector<std::string> Names(fs::path const& folder) {
  std::vector<std::string> names;
  for (auto const& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PictureFileTest, RefusesWhatIsNotARegularFileAndSaysWhy) {
  testsupport::TempDirectory directory;
  testsupport::WriteFile(directory / "kept.png", std::string_view("kept"));
  fs::create_symlink(directory / "kept.png", directory / "link.png");
  fs::create_directory(directory / "folder.png");
  struct Case {
    fs::path path;
    char const* reason;
  };
  Case const cases[] = {
      {directory / "link.png", "symbolic link"},
      {directory / "folder.png", "folder"},
      {"/dev/null", "device"},
      {directory / "missing" / "a.png", "does not exist"},
      {directory / "kept.png" / "a.png", "Not a directory"},
  };
  for (Case const& c : cases) {
    try {
      Write(c.path, "new");
      ADD_FAILURE() << "wrote " << c.path;
    } catch (PictureError const& error) {
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.path.string()), std::string::npos) << error.what();
    }
  }
  EXPECT_TRUE(fs::is_symlink(directory / "link.png"));
  EXPECT_EQ(testsupport::ReadFile(directory / "kept.png"), "kept");
  EXPECT_EQ(Names(directory.path()), (std::vector<std::string>{"folder.png", "kept.png", "link.png"}));
}

// A file at the path, whether there before or taking the path while the new one is written, is a PictureExistsError
// when the caller said not to replace one.
TEST(PictureFileTest, AFileThatIsNotToBeReplacedIsAPictureExistsError) {
  testsupport::TempDirectory directory;
  fs::path const path = directory / "a.png";
  std::string_view const text = "new";
  auto const bytes = std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size());
  PictureFileOptions appears{false, [&] { testsupport::WriteFile(path, std::string_view("someone's")); }};
  EXPECT_THROW(WritePictureFile(path, bytes, appears), PictureExistsError);
  EXPECT_THROW(WritePictureFile(path, bytes, {false, {}}), PictureExistsError);
  EXPECT_EQ(testsupport::ReadFile(path), "someone's");
  EXPECT_EQ(Names(directory.path()), std::vector<std::string>{"a.png"});
}

}  // namespace
}  // namespace Quillan::Pictures

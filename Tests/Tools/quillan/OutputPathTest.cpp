#include "quillan/OutputPath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Support/TempDirectory.h"

namespace Quillan::Cli {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(fs::path const& folder) {
  std::vector<std::string> names;
  for (auto const& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Write(OutputPath const& output, std::string const& text) {
  output.Write(std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()));
}

// What is at the path can change between the check before the work and the write after it; the write checks again.
TEST(OutputPathTest, WriteChecksThePathAgainRightBeforeTheRename) {
  struct Case {
    char const* what;
    bool overwrite;
    std::function<void(fs::path const& media, fs::path const& output)> meanwhile;
    char const* reason;
  };
  Case const cases[] = {
      {"a hard link to the media", true,
       [](auto const& media, auto const& output) { fs::create_hard_link(media, output); }, "it is the media file"},
      {"a symbolic link to the sidecar", true,
       [](auto const& media, auto const& output) {
         fs::path sidecar = media;
         testsupport::WriteFile(sidecar.replace_extension(".qvmi"), std::string_view("results"));
         fs::create_symlink(sidecar, output);
       },
       "symbolic link"},
      {"a new file, without -y", false,
       [](auto const&, auto const& output) { testsupport::WriteFile(output, std::string_view("someone's")); },
       "exists; pass -y"},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    testsupport::TempDirectory dir;
    testsupport::WriteFile(dir / "a.wav", std::string_view("media"));
    OutputPath output((dir / "a.png").string(), c.overwrite, "waveform");
    output.ReadsMedia((dir / "a.wav").string());
    output.Check();
    c.meanwhile(dir / "a.wav", dir / "a.png");
    std::vector<std::string> const names = Names(dir.path());
    try {
      Write(output, "picture");
      ADD_FAILURE() << "wrote over " << c.what;
    } catch (std::exception const& error) {
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
    }
    EXPECT_EQ(testsupport::ReadFile(dir / "a.wav"), "media");
    EXPECT_NE(testsupport::ReadFile(dir / "a.png"), "picture");
    EXPECT_EQ(Names(dir.path()), names);  // no temporary file left behind
  }
}

}  // namespace
}  // namespace Quillan::Cli

#include "zelcore/AtomicFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <string>

#include "Support/TempDirectory.h"
#include "zelcore/TextConversions.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDirectory;
using zelcore::AtomicWriteError;
using zelcore::AtomicWriteOptions;

void Write(fs::path const& path, std::string_view text, AtomicWriteOptions const& options = {}) {
  zelcore::WriteFileAtomically(path, std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()),
                               options);
}

mode_t ModeOf(fs::path const& path) {
  struct stat status {};
  EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

std::set<std::string> Names(fs::path const& folder) {
  std::set<std::string> names;
  for (auto const& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : previous_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(previous_); }

 private:
  mode_t previous_;
};

TEST(AtomicFileTest, NewFilesGetTheRequestedModeAndReplacedOnesKeepTheirs) {
  TempDirectory directory;
  ScopedUmask const umask(022);
  Write(directory / "default", "a");
  Write(directory / "private", "b", {.newFileMode = 0640});
  EXPECT_EQ(ModeOf(directory / "default"), 0644u);
  EXPECT_EQ(ModeOf(directory / "private"), 0640u);

  // The permission bits stay, but not the set-user-ID bit, which belonged to the old content. A reader that has the
  // old file open goes on reading it: the new one is another file.
  fs::path const file = directory / "file";
  testsupport::WriteFile(file, std::string_view("old content"));
  ASSERT_EQ(::chmod(file.c_str(), 04705), 0);
  int const reader = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  Write(file, "new", {.newFileMode = 0666});
  EXPECT_EQ(ReadFile(file), "new");
  EXPECT_EQ(ModeOf(file), 0705u);
  char old[16] = {};
  EXPECT_EQ(::pread(reader, old, sizeof old, 0), 11);
  EXPECT_EQ(std::string(old), "old content");
  ::close(reader);
  EXPECT_EQ(Names(directory.path()), (std::set<std::string>{"default", "file", "private"}));
}

// The temporary name is cut to fit beside a name of 255 bytes, where a UTF-8 character starts; a write whose caller
// keeps other writers out takes over a killed write's leftover.
TEST(AtomicFileTest, NamesOfTheLongestLengthAreWritten) {
  TempDirectory directory;
  std::string multibyte;
  while (multibyte.size() < 253) multibyte += "\xC3\xA9";  // é
  for (std::string const& name : {std::string(255, 'n'), multibyte + "x", std::string("short")}) {
    SCOPED_TRACE(name.size());
    fs::path const path = directory / name;
    std::string temporary;
    AtomicWriteOptions options{.writersSerializedByCaller = true, .beforeRename = [&] {
                                 for (std::string const& entry : Names(directory.path())) {
                                   if (entry != name) temporary = entry;
                                 }
                               }};
    Write(path, "first", options);
    ASSERT_FALSE(temporary.empty());
    EXPECT_LE(temporary.size(), 255u);
    EXPECT_TRUE(zelcore::text::IsValidUTF8(temporary)) << temporary;
    testsupport::WriteFile(directory / temporary, std::string_view("left by a killed write"));
    Write(path, "second", options);
    EXPECT_EQ(ReadFile(path), "second");
    EXPECT_EQ(Names(directory.path()), std::set<std::string>{name});
    fs::remove(path);
  }
}

TEST(AtomicFileTest, LinksAreRefusedOrFollowedAsAsked) {
  TempDirectory directory;
  fs::create_directories(directory / "kept");
  testsupport::WriteFile(directory / "kept" / "target", std::string_view("target's"));
  ASSERT_EQ(::chmod((directory / "kept" / "target").c_str(), 0600), 0);
  // A chain of two relative links, the second in another folder.
  fs::create_symlink("kept/link", directory / "link");
  fs::create_symlink("target", directory / "kept" / "link");
  fs::create_symlink("nowhere", directory / "dangling");
  fs::create_symlink("loop", directory / "loop");

  for (char const* name : {"link", "dangling"}) {
    try {
      Write(directory / name, "new");
      ADD_FAILURE() << "wrote through " << name;
    } catch (AtomicWriteError const& error) {
      EXPECT_NE(std::string(error.what()).find("symbolic link"), std::string::npos) << error.what();
      EXPECT_TRUE(fs::is_symlink(directory / name));
    }
  }
  EXPECT_EQ(ReadFile(directory / "kept" / "target"), "target's");

  AtomicWriteOptions const follow{.links = AtomicWriteOptions::Links::kFollow};
  Write(directory / "link", "through the links", follow);
  EXPECT_TRUE(fs::is_symlink(directory / "link"));
  EXPECT_EQ(ReadFile(directory / "kept" / "target"), "through the links");
  EXPECT_EQ(ModeOf(directory / "kept" / "target"), 0600u);
  Write(directory / "dangling", "made where it points", follow);
  EXPECT_EQ(ReadFile(directory / "nowhere"), "made where it points");
  EXPECT_THROW(Write(directory / "loop", "never", follow), AtomicWriteError);
  EXPECT_EQ(Names(directory.path()), (std::set<std::string>{"dangling", "kept", "link", "loop", "nowhere"}));
  EXPECT_EQ(Names(directory / "kept"), (std::set<std::string>{"link", "target"}));
}

// Every failure leaves the old file byte for byte and no temporary file, and says what failed where.
TEST(AtomicFileTest, FailuresLeaveTheOldFileAndNothingElse) {
  TempDirectory directory;
  fs::path const file = directory / "file";
  testsupport::WriteFile(file, std::string_view("old"));
  fs::create_directory(directory / "folder");
  std::string const large(64 * 1024, 'x');
  struct Case {
    char const* name;
    fs::path path;
    AtomicWriteOptions options;
    char const* reason;
    int error;
  };
  Case const cases[] = {
      {"a folder at the path", directory / "folder", {}, "it is a folder", 0},
      {"no folder", directory / "missing" / "file", {}, "does not exist", 0},
      {"the disk is full", file, {}, "File too large", EFBIG},
      {"a file that is not to be replaced", file, {.replaceExisting = false}, "File exists", EEXIST},
      {"a file that appears meanwhile",
       directory / "new",
       {.replaceExisting = false,
        .beforeRename = [&] { testsupport::WriteFile(directory / "new", std::string_view("someone's")); }},
       "File exists",
       EEXIST},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.name);
    // A file-size limit stands in for a full disk: the write fails part way.
    rlimit previousLimit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previousLimit), 0);
    rlimit const small{4096, previousLimit.rlim_max};
    auto const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    if (c.error == EFBIG) {
      ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    try {
      Write(c.path, large, c.options);
      ADD_FAILURE() << "no error";
    } catch (AtomicWriteError const& error) {
      EXPECT_EQ(error.GetResult(), zelcore::config::kResultFileWrite);
      EXPECT_EQ(error.GetSystemError(), c.error);
      EXPECT_NE(std::string(error.what()).find(c.path.string()), std::string::npos) << error.what();
      EXPECT_NE(std::string(error.what()).find(c.reason), std::string::npos) << error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &previousLimit);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ(ReadFile(file), "old");
  }
  EXPECT_EQ(ReadFile(directory / "new"), "someone's");
  EXPECT_TRUE(fs::is_empty(directory / "folder"));

  // What the last-moment check throws passes through.
  EXPECT_THROW(Write(file, "new", {.beforeRename = [] { throw std::logic_error("refused"); }}), std::logic_error);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(Names(directory.path()), (std::set<std::string>{"file", "folder", "new"}));
}

}  // namespace

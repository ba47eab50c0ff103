#include "zelcore/FileUtils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace {

namespace fs = std::filesystem;
using zelcore::FileUtils::SimpleReadFileIntoBuffer;

class FileUtilsTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("zelcore-fileutils-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::u16string Utf16(fs::path const& path) { return zelcore::text::UTF8ToUTF16(path.string()); }

  // The message of the zel_exception that reading `path` throws.
  std::string ReadError(std::u16string const& path) {
    try {
      SimpleReadFileIntoBuffer(path);
    } catch (zelcore::config::zel_exception const& e) {
      EXPECT_EQ(e.GetResult(), zelcore::config::kResultFileRead);
      return e.what();
    }
    ADD_FAILURE() << "no exception";
    return {};
  }

  fs::path dir_;
};

TEST_F(FileUtilsTest, ReadsWholeFilesOfAnySize) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{300'001}}) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 256);
    fs::path const path = dir_ / ("sample \xF0\x9F\x8E\xAC " + std::to_string(size) + ".bin");  // non-BMP name
    std::ofstream(path, std::ios::binary) << bytes;

    zelcore::Blob const blob = SimpleReadFileIntoBuffer(Utf16(path));
    ASSERT_EQ(blob->size(), size);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(blob->data()), blob->size()), bytes);
  }
  // A file whose size the file system does not know in advance.
  EXPECT_GT(SimpleReadFileIntoBuffer(u"/proc/self/status")->size(), 0u);
}

TEST_F(FileUtilsTest, ReadErrorsNameThePathAndTheReason) {
  fs::path const missing = dir_ / "missing.bin";
  std::string message = ReadError(Utf16(missing));
  EXPECT_NE(message.find(missing.string()), std::string::npos) << message;
  EXPECT_NE(message.find("No such file"), std::string::npos) << message;

  message = ReadError(Utf16(dir_));
  EXPECT_NE(message.find(dir_.string()), std::string::npos) << message;
  EXPECT_NE(message.find("directory"), std::string::npos) << message;

  message = ReadError(std::u16string{u'/', u't', 0xD800, u'x'});
  EXPECT_NE(message.find("UTF-16"), std::string::npos) << message;
}

}  // namespace

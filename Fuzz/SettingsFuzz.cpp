// Feeds arbitrary bytes to the settings file's reader as the file on disk: reading a key answers or throws
// exSettingsFile, never crashes; a final write either stores the value, which a fresh store then reads, or throws
// exSettingsFile and leaves the file as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "BE/Properties.h"
#include "BE/SerializeableValue.h"
#include "BE/SettingsFileException.h"

namespace {

namespace fs = std::filesystem;

class IntValue final : public BE::SerializeableValueBase {
 public:
  explicit IntValue(int value = 0) : SerializeableValueBase(BE::kSerializeableTypeInt), value_(value) {}
  bool SetFromText(char const* text) override { return BE::Conversion::Result(text, value_); }
  void Assign(SerializeableValueBase const& other) override {
    CheckSameType(other);
    value_ = static_cast<IntValue const&>(other).value_;
  }
  std::string ToText() const override { return std::to_string(value_); }
  std::unique_ptr<SerializeableValueBase> Clone() const override { return std::make_unique<IntValue>(value_); }
  int value() const { return value_; }

 private:
  int value_;
};

fs::path const& Folder() {
  static fs::path const folder = [] {
    std::string pattern = (fs::temp_directory_path() / "quillan-settings-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    return fs::path(pattern);
  }();
  return folder;
}

std::string ReadAll(fs::path const& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  auto const file = Folder() / "properties";
  fs::remove(Folder() / "properties.tab-separated");
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<char const*>(data), static_cast<std::streamsize>(size));

  // Loading converts a tab-separated file: what a write must leave alone is the file after that.
  auto const properties = BE::CreateProperties(file);
  for (char const* key : {"Volume", "AnalyzeImportedMediaCacheLocation", "a"}) {
    try {
      IntValue value;
      properties->ReadValue(BE::ImmutableString::Create(key), value);
      properties->IsReadOnly(BE::ImmutableString::Create(key));
    } catch (BE::exSettingsFile const&) {
    }
  }
  std::string const before = ReadAll(file);
  auto const written = BE::ImmutableString::Create("FuzzWritten");
  try {
    if (!properties->WriteValue(written, IntValue(42), true)) {
      if (ReadAll(file) != before) std::abort();  // a key locked in the file: nothing written
      return 0;
    }
  } catch (BE::exSettingsFile const&) {
    if (ReadAll(file) != before) std::abort();
    return 0;
  }
  IntValue value;
  if (!BE::CreateProperties(file)->ReadValue(written, value) || value.value() != 42) std::abort();
  return 0;
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "BE/Preferences.h"
#include "BE/Properties.h"
#include "BE/Result.h"
#include "BE/SerializeableValue.h"
#include "BE/SettingsFileException.h"
#include "Support/TempDirectory.h"
#include "zelcore/ZelException.h"

namespace BE {
namespace {

using testsupport::ReadFile;
using testsupport::TempDirectory;
using testsupport::WriteFile;
using zelcore::config::zel_exception;
namespace fs = std::filesystem;

class IntValue final : public SerializeableValueBase {
 public:
  explicit IntValue(int value = 0) : SerializeableValueBase(kSerializeableTypeInt), value_(value) {}
  bool SetFromText(char const* text) override { return Conversion::Result(text, value_); }
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

class TextValue final : public SerializeableValueBase {
 public:
  explicit TextValue(std::string text = {}) : SerializeableValueBase(9), text_(std::move(text)) {}
  bool SetFromText(char const* text) override {
    text_ = text;
    return true;
  }
  void Assign(SerializeableValueBase const& other) override {
    CheckSameType(other);
    text_ = other.ToText();
  }
  std::string ToText() const override { return text_; }
  std::unique_ptr<SerializeableValueBase> Clone() const override { return std::make_unique<TextValue>(text_); }

 private:
  std::string text_;
};

ImmutableString Key(char const* text) { return ImmutableString::Create(text); }

std::optional<int> ReadInt(InterfaceRef<IProperties> const& properties, char const* key) {
  IntValue value(-999);
  if (!properties->ReadValue(Key(key), value)) return std::nullopt;
  return value.value();
}

// Sets an environment variable for a scope.
class ScopedEnvironment {
 public:
  ScopedEnvironment(char const* name, char const* value) : name_(name) {
    if (char const* old = std::getenv(name)) previous_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnvironment() { previous_ ? setenv(name_, previous_->c_str(), 1) : unsetenv(name_); }

 private:
  char const* name_;
  std::optional<std::string> previous_;
};

TEST(PropertiesTest, ValuesPersistAcrossStores) {
  TempDirectory dir;
  auto const file = dir / "config" / "properties";
  auto const writer = CreateProperties(file);
  EXPECT_EQ(ReadInt(writer, "Volume"), std::nullopt);

  EXPECT_TRUE(writer->WriteValue(Key("Volume"), IntValue(7), true));
  EXPECT_TRUE(writer->WriteValue(Key("Tab\tand\nnewline\\key"), TextValue("line one\nline\ttwo \\"), true));
  EXPECT_TRUE(writer->WriteValue(Key("Draft"), IntValue(1), false));
  EXPECT_EQ(ReadInt(writer, "Draft"), 1);
  EXPECT_EQ(ReadInt(CreateProperties(file), "Draft"), std::nullopt);  // not final: not in the file yet

  writer->Flush();
  auto const reader = CreateProperties(file);
  EXPECT_EQ(ReadInt(reader, "Volume"), 7);
  EXPECT_EQ(ReadInt(reader, "Draft"), 1);
  EXPECT_TRUE(reader->HasValue(Key("Volume")));
  EXPECT_TRUE(reader->HasValue(Key("Tab\tand\nnewline\\key")));  // any type
  EXPECT_FALSE(reader->HasValue(Key("Never")));
  reader->SetReadOnly(Key("LockedOnly"), true);
  EXPECT_FALSE(reader->HasValue(Key("LockedOnly")));  // a lock is no value
  reader->SetReadOnly(Key("LockedOnly"), false);
  TextValue text;
  EXPECT_TRUE(reader->ReadValue(Key("Tab\tand\nnewline\\key"), text));
  EXPECT_EQ(text.ToText(), "line one\nline\ttwo \\");
  EXPECT_EQ(reader->GetWarningTarget(), writer->GetWarningTarget());
  EXPECT_NE(CreateProperties(dir / "other")->GetWarningTarget(), writer->GetWarningTarget());
  // No temporary files; the lock file stays.
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::exists(file.parent_path() / "properties.lock"));

  // Another store's write reaches this one on Refresh, and a write merges with what the other wrote.
  EXPECT_TRUE(writer->WriteValue(Key("Volume"), IntValue(8), true));
  EXPECT_TRUE(reader->Refresh());
  EXPECT_FALSE(reader->Refresh());
  EXPECT_EQ(ReadInt(reader, "Volume"), 8);
  // RefreshIfStale: a store of this process writing shows at once; a change by another program, made right after a
  // look at the file, waits for Refresh or for the look to age.
  EXPECT_TRUE(writer->WriteValue(Key("Volume"), IntValue(9), true));
  EXPECT_TRUE(reader->RefreshIfStale());
  EXPECT_EQ(ReadInt(reader, "Volume"), 9);
  std::string const byHand = ReadFile(file);
  WriteFile(file, byHand.substr(0, byHand.find("Volume")) + "Volume = 10\n" +
                      byHand.substr(byHand.find('\n', byHand.find("Volume")) + 1));
  EXPECT_FALSE(reader->RefreshIfStale());
  EXPECT_EQ(ReadInt(reader, "Volume"), 9);
  EXPECT_TRUE(reader->Refresh());
  EXPECT_EQ(ReadInt(reader, "Volume"), 10);
  EXPECT_TRUE(writer->WriteValue(Key("Speed"), IntValue(3), true));
  EXPECT_TRUE(reader->WriteValue(Key("Pitch"), IntValue(4), true));
  EXPECT_TRUE(writer->WriteValue(Key("Gain"), IntValue(5), false));
  EXPECT_TRUE(reader->WriteValue(Key("Speed"), IntValue(6), true));
  writer->Flush();
  auto const merged = CreateProperties(file);
  EXPECT_EQ(ReadInt(merged, "Speed"), 6);
  EXPECT_EQ(ReadInt(merged, "Pitch"), 4);
  EXPECT_EQ(ReadInt(merged, "Gain"), 5);

  EXPECT_EQ(ReadInt(writer, "Volume"), 10);
  writer->SetFilePath(dir / "fresh");
  EXPECT_EQ(ReadInt(writer, "Volume"), std::nullopt);
  EXPECT_THROW(writer->WriteValue(Key(""), IntValue(1), true), zel_exception);
}

TEST(PropertiesTest, ReadOnlyKeysAreNotWritten) {
  TempDirectory dir;
  auto const file = dir / "properties";
  auto const properties = CreateProperties(file);
  auto const key = kPrefsAnalyzeImportedMediaCacheLocation;
  ASSERT_TRUE(properties->WriteValue(key, IntValue(1), true));
  properties->SetReadOnly(key, true);
  EXPECT_TRUE(properties->IsReadOnly(key));
  EXPECT_FALSE(properties->WriteValue(key, IntValue(2), true));
  EXPECT_FALSE(properties->WriteValue(key, IntValue(2), false));
  EXPECT_EQ(ReadInt(properties, key.c_str()), 1);
  EXPECT_TRUE(CreateProperties(file)->IsReadOnly(key));

  properties->SetReadOnly(key, false);
  EXPECT_TRUE(properties->WriteValue(key, IntValue(2), true));

  // An administrator locks a key by hand.
  WriteFile(file, "read-only = [\"Locked\"]\n" + ReadFile(file));
  auto const fresh = CreateProperties(file);
  EXPECT_TRUE(fresh->IsReadOnly(Key("Locked")));
  EXPECT_FALSE(fresh->WriteValue(Key("Locked"), IntValue(5), true));
  EXPECT_EQ(ReadInt(fresh, key.c_str()), 2);
}

TEST(PropertiesTest, TabSeparatedFileIsConvertedKeepingEveryValue) {
  TempDirectory dir;
  auto const file = dir / "properties";
  std::string const legacy =
      "# Quillan properties: value<TAB>key<TAB>type<TAB>text, or readonly<TAB>key\n"
      "value\tAnalyzeImportedMediaCacheLocation\t5\t1\r\n"
      "value\tTab\\tkey\t9\tline one\\nline\\ttwo \\\\\n"
      "value\tNotANumber\t5\tabc\n"
      "value\tNegative\t5\t-2147483648\n"
      "readonly\tAnalyzeImportedMediaCacheLocation\n"
      "readonly\tLockedOnly\n"
      "future-kind\tKey\tstuff\n"
      "value\tText\t9\thello";  // no final newline
  WriteFile(file, legacy);

  auto const check = [](InterfaceRef<IProperties> const& properties) {
    EXPECT_EQ(ReadInt(properties, "AnalyzeImportedMediaCacheLocation"), 1);
    EXPECT_EQ(ReadInt(properties, "Negative"), -2147483647 - 1);
    TextValue text;
    EXPECT_TRUE(properties->ReadValue(Key("Tab\tkey"), text));
    EXPECT_EQ(text.ToText(), "line one\nline\ttwo \\");
    EXPECT_TRUE(properties->ReadValue(Key("Text"), text));
    EXPECT_EQ(text.ToText(), "hello");
    EXPECT_TRUE(properties->IsReadOnly(Key("AnalyzeImportedMediaCacheLocation")));
    EXPECT_TRUE(properties->IsReadOnly(Key("LockedOnly")));
    // Kept as it was stored, and still an error to read as an int.
    EXPECT_TRUE(properties->HasValue(Key("NotANumber")));
    EXPECT_THROW(ReadInt(properties, "NotANumber"), exSettingsFile);
  };
  auto const properties = CreateProperties(file);
  check(properties);
  // Converted once, on first reading: the file is TOML now, the old one is kept beside it.
  std::string const converted = ReadFile(file);
  EXPECT_NE(converted.find("[values]"), std::string::npos) << converted;
  EXPECT_EQ(ReadFile(dir / "properties.tab-separated"), legacy);
  check(CreateProperties(file));
  EXPECT_EQ(ReadFile(file), converted);
  ASSERT_TRUE(properties->WriteValue(Key("New"), IntValue(5), true));
  auto const again = CreateProperties(file);
  check(again);
  EXPECT_EQ(ReadInt(again, "New"), 5);
}

TEST(PropertiesTest, WrongEntriesAndMalformedFilesAreErrorsNamingFileAndKey) {
  struct Case {
    char const* text;
    char const* key;  // the key the error names; empty for the file as a whole
    char const* problem;
  } const cases[] = {
      {"[values]\nVolume = \"loud\"\n", "Volume", "a string (\"loud\"), where an integer is expected"},
      {"[values]\nVolume = 1.5\n", "Volume", "a floating-point number"},
      {"[values]\nVolume = true\n", "Volume", "a boolean"},
      {"[values]\nVolume = 99999999999\n", "Volume", "\"99999999999\" is out of range"},
      {"[values]\nVolume = { type = 9, text = \"x\" }\n", "Volume", "a value of type 9"},
      {"[values]\nVolume = { text = \"x\" }\n", "Volume", "a table"},
      {"[values]\nVolume = [1]\n", "Volume", "an array"},
      {"values = 3\n", "values", "where a table is expected"},
      {"read-only = \"Volume\"\n", "read-only", "where an array of key names is expected"},
      {"read-only = [1]\n", "read-only", "only key names"},
      {"[values\nVolume = 1\n", "", "not valid TOML: line 1"},
      {"[values]\nVolume = 1\nVolume = 2\n", "", "not valid TOML: line 3"},
      {"\xff\xfe binary", "", "not valid TOML"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    TempDirectory dir;
    auto const file = dir / "properties";
    std::string const text = std::string("read-only = [\"Locked\"]\n") + c.text;
    bool const wholeFile = std::string_view(c.key) != "Volume";
    WriteFile(file, wholeFile ? std::string(c.text) : text + "Other = 4\n");
    auto const properties = CreateProperties(file);
    try {
      ReadInt(properties, "Volume");
      ADD_FAILURE() << "expected a settings-file error";
    } catch (exSettingsFile const& e) {
      EXPECT_EQ(e.GetResult(), kResultSettingsFile);
      EXPECT_EQ(e.GetFilePath(), file);
      EXPECT_EQ(e.GetKey(), c.key);
      std::string const message = e.what();
      EXPECT_NE(message.find(file.string()), std::string::npos) << message;
      EXPECT_NE(message.find(c.key), std::string::npos) << message;
      EXPECT_NE(message.find(c.problem), std::string::npos) << message;
    }
    std::string const before = ReadFile(file);
    if (wholeFile) {
      // Nothing reads as a default, and nothing replaces the file.
      EXPECT_THROW(properties->HasValue(Key("Other")), exSettingsFile);
      EXPECT_THROW(properties->IsReadOnly(Key("Other")), exSettingsFile);
      EXPECT_THROW(properties->WriteValue(Key("Other"), IntValue(1), true), exSettingsFile);
      EXPECT_EQ(ReadFile(file), before);
      continue;
    }
    // One bad entry spoils no other, survives other writes, and a write of the key mends it.
    EXPECT_EQ(ReadInt(properties, "Other"), 4);
    EXPECT_TRUE(properties->IsReadOnly(Key("Locked")));
    ASSERT_TRUE(properties->WriteValue(Key("Other"), IntValue(5), true));
    EXPECT_THROW(ReadInt(CreateProperties(file), "Volume"), exSettingsFile);
    ASSERT_TRUE(properties->WriteValue(Key("Volume"), IntValue(7), true));
    EXPECT_EQ(ReadInt(CreateProperties(file), "Volume"), 7);
    EXPECT_EQ(ReadInt(CreateProperties(file), "Other"), 5);
  }
}

TEST(PropertiesTest, UnreadableAndLinkedFilesAreHandledWithoutDamage) {
  TempDirectory dir;
  // A settings "file" that cannot be read is never replaced, and reads report it.
  fs::create_directories(dir / "folder");
  auto const unreadable = CreateProperties(dir / "folder");
  EXPECT_THROW(ReadInt(unreadable, "Good"), exSettingsFile);
  EXPECT_THROW(unreadable->WriteValue(Key("Good"), IntValue(1), true), exSettingsFile);
  EXPECT_TRUE(fs::is_directory(dir / "folder"));

  // A file mended by hand reads again after Refresh.
  auto const file = dir / "properties";
  WriteFile(file, "[values\n");
  auto const properties = CreateProperties(file);
  EXPECT_THROW(ReadInt(properties, "Good"), exSettingsFile);
  WriteFile(file, "[values]\nGood = 3\n");
  EXPECT_TRUE(properties->Refresh());
  EXPECT_EQ(ReadInt(properties, "Good"), 3);

  // A linked settings file (a settings folder kept elsewhere) is written through the link, which stays.
  fs::create_directories(dir / "dotfiles");
  WriteFile(dir / "dotfiles" / "quillan.toml", "# mine\n[values]\nKept = 1\n");
  auto const link = dir / "linked";
  fs::create_symlink(fs::path("dotfiles") / "quillan.toml", link);
  auto const linked = CreateProperties(link);
  EXPECT_EQ(ReadInt(linked, "Kept"), 1);
  ASSERT_TRUE(linked->WriteValue(Key("Added"), IntValue(2), true));
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadInt(CreateProperties(dir / "dotfiles" / "quillan.toml"), "Added"), 2);
  EXPECT_EQ(ReadInt(CreateProperties(link), "Kept"), 1);
  // No temporary files; the lock file is beside the file the link leads to.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "dotfiles"), fs::directory_iterator()), 2);
  EXPECT_TRUE(fs::exists(dir / "dotfiles" / "quillan.toml.lock"));
}

// Runs `body` in a child process that starts once the write end of the pipe `gun` is closed, and returns the
// child's id. The child exits with 0 when `body` returns true.
template <typename Body>
pid_t StartChild(int const (&gun)[2], Body body) {
  pid_t const child = fork();
  if (child != 0) return child;
  close(gun[1]);
  char ignored;
  while (read(gun[0], &ignored, 1) < 0 && errno == EINTR) {
  }
  bool ok = false;
  try {
    ok = body();
  } catch (...) {
  }
  _exit(ok ? 0 : 1);
}

int WaitForChild(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(PropertiesTest, ConcurrentWritersInOtherProcessesLoseNoValue) {
  TempDirectory dir;
  auto const file = dir / "config" / "properties";
  constexpr int kRounds = 40;
  int lostRounds = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::filesystem::remove(file);
    int gun[2];
    ASSERT_EQ(pipe(gun), 0);
    pid_t children[2];
    for (int writer = 0; writer < 2; ++writer) {
      children[writer] = StartChild(gun, [&] {
        auto const key = writer == 0 ? "CacheLocation" : "CacheSize";
        return CreateProperties(file)->WriteValue(Key(key), IntValue(round * 10 + writer), true);
      });
    }
    close(gun[0]);
    close(gun[1]);  // both start at once
    for (pid_t const child : children) ASSERT_EQ(WaitForChild(child), 0);
    auto const reader = CreateProperties(file);
    if (ReadInt(reader, "CacheLocation") != round * 10 || ReadInt(reader, "CacheSize") != round * 10 + 1) ++lostRounds;
  }
  EXPECT_EQ(lostRounds, 0) << "of " << kRounds << " rounds";
}

mode_t ModeOf(fs::path const& file) {
  struct stat status {};
  EXPECT_EQ(stat(file.c_str(), &status), 0) << file;
  return status.st_mode & 0777;
}

std::string Repeat(std::string_view text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) repeated += text;
  return repeated;
}

// "a.a.a" for three parts.
std::string DottedKey(int parts) { return "a" + Repeat(".a", parts - 1); }

TEST(PropertiesTest, WritesKeepPermissionsAndWaitForTheLock) {
  TempDirectory dir;
  auto const file = dir / "properties";
  mode_t const umaskNow = umask(0);
  umask(umaskNow);
  for (mode_t const mode : {0600, 0640, 0664}) {
    SCOPED_TRACE(mode);
    WriteFile(file, "[values]\nOld = 1\n");
    ASSERT_EQ(chmod(file.c_str(), mode), 0);
    ASSERT_TRUE(CreateProperties(file)->WriteValue(Key("New"), IntValue(2), true));
    EXPECT_EQ(ModeOf(file), mode);
    EXPECT_EQ(ModeOf(dir / "properties.lock"), mode & ~umaskNow);  // made by the first write, as the file is
    fs::remove(dir / "properties.lock");
  }
  // Through a link, the file it leads to keeps its mode. A new file gets 0644 less the umask.
  fs::create_directories(dir / "dotfiles");
  fs::create_symlink(fs::path("dotfiles") / "quillan.toml", dir / "linked");
  ASSERT_TRUE(CreateProperties(dir / "linked")->WriteValue(Key("New"), IntValue(2), true));
  EXPECT_EQ(ModeOf(dir / "dotfiles" / "quillan.toml"), 0644 & ~umaskNow);
  ASSERT_EQ(chmod((dir / "dotfiles" / "quillan.toml").c_str(), 0600), 0);
  ASSERT_TRUE(CreateProperties(dir / "linked")->WriteValue(Key("New"), IntValue(3), true));
  EXPECT_EQ(ModeOf(dir / "dotfiles" / "quillan.toml"), 0600);
  EXPECT_TRUE(fs::is_symlink(dir / "linked"));
  // A private tab-separated file is copied as privately when it is converted.
  auto const legacy = dir / "legacy";
  WriteFile(legacy, "# Quillan properties: value<TAB>key<TAB>type<TAB>text, or readonly<TAB>key\nvalue\tA\t5\t1\n");
  ASSERT_EQ(chmod(legacy.c_str(), 0600), 0);
  EXPECT_EQ(ReadInt(CreateProperties(legacy), "A"), 1);
  EXPECT_EQ(ModeOf(legacy), 0600);
  EXPECT_EQ(ModeOf(dir / "legacy.tab-separated"), 0600);

  // While another holds the lock, a write waits, then merges with what the holder wrote.
  int const lock = open((dir / "properties.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(flock(lock, LOCK_EX), 0);
  std::thread writer([&] { EXPECT_TRUE(CreateProperties(file)->WriteValue(Key("Waited"), IntValue(4), true)); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(ReadFile(file).find("Waited"), std::string::npos);
  WriteFile(file, ReadFile(file) + "ByHolder = 5\n");
  flock(lock, LOCK_UN);
  writer.join();
  close(lock);
  auto const after = CreateProperties(file);
  EXPECT_EQ(ReadInt(after, "Waited"), 4);
  EXPECT_EQ(ReadInt(after, "ByHolder"), 5);

  // A link in the lock's place is refused, not followed; the settings file stays as it was.
  fs::remove(dir / "properties.lock");
  fs::create_symlink(dir / "elsewhere", dir / "properties.lock");
  std::string const before = ReadFile(file);
  try {
    CreateProperties(file)->WriteValue(Key("Refused"), IntValue(6), true);
    ADD_FAILURE() << "expected a settings-file error";
  } catch (exSettingsFile const& e) {
    EXPECT_NE(std::string(e.what()).find("properties.lock: it is a symbolic link"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(dir / "elsewhere"));
  EXPECT_EQ(ReadFile(file), before);
}

TEST(PropertiesTest, TextThatWouldExhaustTheParsersStackIsAClearError) {
  int const kHuge = 100000;
  struct Case {
    std::string text;
    char const* problem;
  } const cases[] = {
      {"[" + DottedKey(kHuge) + "]\n", "a key of more than 64 dotted parts"},
      {"[[" + DottedKey(kHuge) + "]]\n", "a key of more than 64 dotted parts"},
      {DottedKey(kHuge) + " = 1\n", "a key of more than 64 dotted parts"},
      {"\"a\"" + Repeat(" . 'a'", kHuge) + " = 1\n", "a key of more than 64 dotted parts"},
      {"x = { " + DottedKey(kHuge) + " = 1 }\n", "a key of more than 64 dotted parts"},
      {"a = " + Repeat("[", kHuge) + Repeat("]", kHuge) + "\n", "values nested more than 64 deep"},
      {"a = " + Repeat("{a=", kHuge) + "1" + Repeat("}", kHuge) + "\n", "values nested more than 64 deep"},
      {"a = " + Repeat("[", 40) + Repeat("{a=[", 40) + "\n", "values nested more than 64 deep"},
      // Each part within bounds, the whole beyond them.
      {"[" + DottedKey(60) + "]\nb.c.d.e.f = 1\n", "a key of more than 64 dotted parts with those of its table header"},
      {"x = {" + DottedKey(40) + " = {" + DottedKey(40) + " = 1}}\n", "values nested more than 64 deep"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    TempDirectory dir;
    auto const file = dir / "properties";
    std::string const text = "# settings\n" + c.text + "[values]\nVolume = 1\n";
    WriteFile(file, text);
    auto const properties = CreateProperties(file);
    try {
      ReadInt(properties, "Volume");
      ADD_FAILURE() << "expected a settings-file error";
    } catch (exSettingsFile const& e) {
      std::string const message = e.what();
      EXPECT_EQ(e.GetFilePath(), file);
      EXPECT_EQ(message.rfind("settings file " + file.string() + ": line ", 0), 0) << message.substr(0, 200);
      EXPECT_NE(message.find(c.problem), std::string::npos) << message.substr(0, 200);
      EXPECT_LT(message.size(), 300u);
    }
    EXPECT_THROW(properties->WriteValue(Key("Volume"), IntValue(2), true), exSettingsFile);
    EXPECT_EQ(ReadFile(file), text);
  }
  // The line named is the one that goes too far, counted across multi-line strings.
  TempDirectory dir;
  WriteFile(dir / "properties", "s = \"\"\"\none\ntwo\"\"\"\n\n" + DottedKey(65) + " = 1\n");
  try {
    ReadInt(CreateProperties(dir / "properties"), "Volume");
    ADD_FAILURE() << "expected a settings-file error";
  } catch (exSettingsFile const& e) {
    EXPECT_NE(std::string(e.what()).find(": line 5, column 129: a key of more than 64"), std::string::npos) << e.what();
  }
  WriteFile(dir / "properties", std::string(5 * 1024 * 1024, '#'));
  EXPECT_THROW(ReadInt(CreateProperties(dir / "properties"), "Volume"), exSettingsFile);
}

TEST(PropertiesTest, DotsAndBracketsInStringsAndCommentsAreNotCounted) {
  std::string const brackets = Repeat("[{", 100);
  std::string const text = "# " + DottedKey(100) + " " + brackets + "\n" + "title = \"" + DottedKey(100) + " \\\" " +
                           brackets + "\"  # " + brackets + "\n" + "path = '" + brackets + "\\'\n" +
                           "notes = \"\"\"\n" + DottedKey(100) + "\n\\\"\"\" " + brackets + "\n\"\"\"\"\"\n" +
                           "raw = '''\n" + brackets + "\n'''''\n" + "list = [\"]]]\", '}}}', \"" + brackets + "\"]\n" +
                           // At the limits, which the text written back keeps to as well.
                           "limit." + DottedKey(63) + " = " + Repeat("[", 64) + "1" + Repeat("]", 64) + "\n" + "[" +
                           DottedKey(32) + "]\n" + DottedKey(32) + " = { " + DottedKey(30) + " = " + Repeat("[", 33) +
                           "1" + Repeat("]", 33) + " }\n" + "[values]\n" + "\"" + DottedKey(100) + "\" = 7\n" + "'" +
                           brackets + "' = 8\n" + "Volume = 3\n";
  TempDirectory dir;
  auto const file = dir / "properties";
  WriteFile(file, text);
  auto const properties = CreateProperties(file);
  EXPECT_EQ(ReadInt(properties, "Volume"), 3);
  EXPECT_EQ(ReadInt(properties, DottedKey(100).c_str()), 7);
  EXPECT_EQ(ReadInt(properties, brackets.c_str()), 8);
  // A write keeps the entries this version does not know, and they read back.
  ASSERT_TRUE(properties->WriteValue(Key("Volume"), IntValue(4), true));
  auto const again = CreateProperties(file);
  EXPECT_EQ(ReadInt(again, "Volume"), 4);
  EXPECT_EQ(ReadInt(again, DottedKey(100).c_str()), 7);
  EXPECT_NE(ReadFile(file).find(DottedKey(63)), std::string::npos);
}

// Values nested near the limit are written back at about their own size: the written text is not indented by depth.
TEST(PropertiesTest, DeeplyNestedValuesAreWrittenBackAtAboutTheirOwnSize) {
  std::string text = "[kept]\n";
  for (int i = 0; i < 200; ++i) {
    text += "k" + std::to_string(i) + " = " + Repeat("[[1, 2], ", 60) + "3" + Repeat("]", 60) + "\n";
  }
  TempDirectory dir;
  auto const file = dir / "properties";
  WriteFile(file, text);
  auto const properties = CreateProperties(file);
  ASSERT_TRUE(properties->WriteValue(Key("Volume"), IntValue(4), true));
  EXPECT_LT(ReadFile(file).size(), 3 * text.size());
  EXPECT_EQ(ReadInt(CreateProperties(file), "Volume"), 4);
}

TEST(PropertiesTest, ConversionParsesWholeIntsOnly) {
  struct Case {
    char const* text;
    std::optional<int> value;
  } const cases[] = {
      {"0", 0},
      {"42", 42},
      {"-7", -7},
      {"+7", 7},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"2147483648", {}},
      {"", {}},
      {" 1", {}},
      {"1 ", {}},
      {"1x", {}},
      {"0x10", {}},
      {"+-1", {}},
      {"-", {}},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(c.text);
    int value = 123;
    EXPECT_EQ(Conversion::Result(c.text, value), c.value.has_value());
    EXPECT_EQ(value, c.value.value_or(123));
  }
  int value = 5;
  EXPECT_FALSE(Conversion::Result(static_cast<char const*>(nullptr), value));
  EXPECT_EQ(value, 5);
}

TEST(PropertiesTest, UserFoldersFollowEnvironmentAndOverrides) {
  ScopedEnvironment home("HOME", "/home/editor");
  ScopedEnvironment xdgCache("XDG_CACHE_HOME", nullptr);
  ScopedEnvironment xdgConfig("XDG_CONFIG_HOME", nullptr);
  ScopedEnvironment quillanCache("QUILLAN_CACHE_DIR", nullptr);
  ScopedEnvironment quillanConfig("QUILLAN_CONFIG_DIR", nullptr);
  EXPECT_EQ(GetDefaultAnalyzerCacheDirectory(), "/home/editor/.cache/quillan/AnalyzerCache");
  EXPECT_EQ(GetDefaultPropertiesFilePath(), "/home/editor/.config/quillan/properties");
  {
    ScopedEnvironment cache("XDG_CACHE_HOME", "/var/cache/editor");
    ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/ignored");
    EXPECT_EQ(GetDefaultAnalyzerCacheDirectory(), "/var/cache/editor/quillan/AnalyzerCache");
    EXPECT_EQ(GetDefaultPropertiesFilePath(), "/home/editor/.config/quillan/properties");
    ScopedEnvironment ownCache("QUILLAN_CACHE_DIR", "/scratch/q");
    ScopedEnvironment ownConfig("QUILLAN_CONFIG_DIR", "/etc/q");
    EXPECT_EQ(GetDefaultAnalyzerCacheDirectory(), "/scratch/q/AnalyzerCache");
    EXPECT_EQ(GetDefaultPropertiesFilePath(), "/etc/q/properties");
  }

  auto const preferences = CreatePreferences();
  EXPECT_EQ(preferences->GetAnalyzerCacheDirectory(), L"/home/editor/.cache/quillan/AnalyzerCache");
  preferences->SetAnalyzerCacheDirectory(L"/media/fast/cache");
  EXPECT_EQ(preferences->GetAnalyzerCacheDirectory(), L"/media/fast/cache");
  preferences->SetAnalyzerCacheDirectory(L"");
  EXPECT_EQ(preferences->GetAnalyzerCacheDirectory(), L"/home/editor/.cache/quillan/AnalyzerCache");
}

}  // namespace
}  // namespace BE

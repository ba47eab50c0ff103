#include "BE/Properties.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>

#include "BE/Detail/SettingsFile.h"
#include "BE/Detail/UserDirectories.h"
#include "BE/Result.h"
#include "BE/SettingsFileException.h"
#include "zelcore/Guid.h"
#include "zelcore/TextConversions.h"
#include "zelcore/ZelException.h"

namespace BE {

ImmutableString const kPrefsAnalyzeImportedMediaCacheLocation =
    ImmutableString::_PrivateCreateStatic("AnalyzeImportedMediaCacheLocation");

namespace {

using detail::SettingsEntries;
using detail::StoredValue;
using zelcore::config::zel_exception;
using zelcore::utility::Guid;

// Namespace of the warning targets, name-based on the settings file's path.
constexpr Guid kPropertiesNamespace{
    Guid::Bytes{0x71, 0xa8, 0x3f, 0x52, 0x0d, 0xe6, 0x49, 0x9b, 0x8c, 0x14, 0xe3, 0x7a, 0x25, 0x6b, 0xf0, 0x48}};

// A file stamp is trusted to tell "unchanged" only once its modification time is this much in the past, which
// covers the coarsest timestamp granularity of common file systems.
constexpr std::chrono::seconds kTimestampGranularity{2};

// How long a look at the file stands for RefreshIfStale.
constexpr auto kRecheckInterval = std::chrono::seconds(1);

// Counts the writes of settings files by every store of this process, so that RefreshIfStale sees them at once.
std::atomic<std::uint64_t> writesInProcess{0};

// Identifies one version of the settings file: a rename by another writer changes the inode even when size and
// time stay.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNs = 0;

  friend bool operator==(FileStamp const&, FileStamp const&) = default;
};

FileStamp StampOf(std::filesystem::path const& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return {};
  return FileStamp{true, status.st_dev, status.st_ino, status.st_size,
                   std::int64_t{status.st_mtim.tv_sec} * 1'000'000'000 + status.st_mtim.tv_nsec};
}

bool IsSettled(FileStamp const& stamp) {
  auto const now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return stamp.modifiedNs + std::chrono::nanoseconds(kTimestampGranularity).count() < now;
}

void PruneEmpty(SettingsEntries& entries) {
  std::erase_if(entries,
                [](auto const& item) { return !item.second.value && !item.second.invalid && !item.second.readOnly; });
}

void CheckKey(ImmutableString const& key) {
  if (key.empty()) throw zel_exception("A property needs a non-empty key", kResultInvalidArgument);
  if (!zelcore::text::IsValidUTF8(key.view())) {
    throw zel_exception("The key of a property must be UTF-8 text", kResultInvalidArgument);
  }
}

std::string ExpectedKind(SerializeableValueBase::TypeTag typeTag) {
  if (typeTag == kSerializeableTypeInt) return "an integer";
  return "{ type = " + std::to_string(typeTag) + ", text = \"...\" }";
}

std::string StoredKind(StoredValue const& stored) {
  if (stored.typeTag == kSerializeableTypeInt) return "an integer";
  return "a value of type " + std::to_string(stored.typeTag);
}

class Properties final : public IProperties, public zelcore::classref::ClassStatics<Properties> {
 public:
  ZEL_INTERFACE_NAME("BE::detail::Properties")

  explicit Properties(std::filesystem::path const& file) { LoadLocked(file); }

  void* QueryMap(std::string_view name) override {
    return zelcore::classref::QueryMapOf<Properties, IProperties>(this, name);
  }

  // IProperties:
  bool ReadValue(ImmutableString const& key, SerializeableValueBase& value) const override {
    std::optional<StoredValue> stored;
    std::optional<std::string> invalid;
    std::filesystem::path file;
    {
      std::lock_guard lock(mutex_);
      ThrowLoadErrorLocked();
      auto const found = entries_.find(key.view());
      if (found != entries_.end()) {
        stored = found->second.value;
        invalid = found->second.invalid;
      }
      file = file_;
    }
    auto const expected = ExpectedKind(value.GetTypeTag());
    if (invalid) throw exSettingsFile(file, key.ToUTF8String(), *invalid + ", where " + expected + " is expected");
    if (!stored) return false;
    if (stored->typeTag != value.GetTypeTag()) {
      throw exSettingsFile(file, key.ToUTF8String(), StoredKind(*stored) + ", where " + expected + " is expected");
    }
    // Outside the lock: the value's own code may read other properties.
    if (!value.SetFromText(stored->text.c_str())) {
      throw exSettingsFile(file, key.ToUTF8String(),
                           "\"" + stored->text + "\" is out of range or malformed for " + expected);
    }
    return true;
  }

  bool IsReadOnly(ImmutableString const& key) const override {
    std::lock_guard lock(mutex_);
    // The answer decides whether a write is refused with a warning: another program's mark counts at once.
    RefreshLocked();
    ThrowLoadErrorLocked();
    auto const found = entries_.find(key.view());
    return found != entries_.end() && found->second.readOnly;
  }

  bool HasValue(ImmutableString const& key) const override {
    std::lock_guard lock(mutex_);
    ThrowLoadErrorLocked();
    auto const found = entries_.find(key.view());
    return found != entries_.end() && found->second.value.has_value();
  }

  bool WriteValue(ImmutableString const& key, SerializeableValueBase const& value, bool final) override {
    CheckKey(key);
    StoredValue stored{value.GetTypeTag(), value.ToText()};
    if (stored.text.find('\0') != std::string::npos || !zelcore::text::IsValidUTF8(stored.text)) {
      throw zel_exception("The text of property " + key.ToUTF8String() + " is not UTF-8 text without NUL characters",
                          kResultInvalidArgument);
    }
    std::lock_guard lock(mutex_);
    // A final write must see read-only marks that another process made meanwhile.
    if (final) RefreshLocked();
    auto const found = entries_.find(key.view());
    if (found != entries_.end() && found->second.readOnly) return false;
    SettingsEntries entries = entries_;
    auto& entry = entries[key.ToUTF8String()];
    entry.value = std::move(stored);
    entry.invalid.reset();
    auto pending = pendingValues_;
    pending.insert(key.ToUTF8String());
    if (final) {
      PersistLocked(entries, pending, {});
    } else {
      entries_ = std::move(entries);
      pendingValues_ = std::move(pending);
    }
    return true;
  }

  void SetReadOnly(ImmutableString const& key, bool readOnly) override {
    CheckKey(key);
    std::lock_guard lock(mutex_);
    RefreshLocked();
    SettingsEntries entries = entries_;
    entries[key.ToUTF8String()].readOnly = readOnly;
    PersistLocked(entries, pendingValues_, {key.ToUTF8String()});
  }

  void Flush() override {
    std::lock_guard lock(mutex_);
    if (!pendingValues_.empty()) PersistLocked(entries_, pendingValues_, {});
  }

  bool Refresh() override {
    std::lock_guard lock(mutex_);
    return RefreshLocked();
  }

  bool RefreshIfStale() override {
    std::lock_guard lock(mutex_);
    bool const recent = std::chrono::steady_clock::now() - checkedAt_ < kRecheckInterval;
    if (recent && !loadError_ && checkedWrites_ == writesInProcess.load(std::memory_order_acquire)) return false;
    return RefreshLocked();
  }

  zelcore::messaging::TargetID GetWarningTarget() const override {
    std::lock_guard lock(mutex_);
    return warningTarget_;
  }

  std::filesystem::path GetFilePath() const override {
    std::lock_guard lock(mutex_);
    return file_;
  }

  void SetFilePath(std::filesystem::path const& file) override {
    std::lock_guard lock(mutex_);
    LoadLocked(file);
  }

 private:
  using KeySet = std::set<std::string, std::less<>>;

  void LoadLocked(std::filesystem::path const& file) {
    file_ = file;
    std::string const path = file.string();
    warningTarget_ = Guid::CreateFromName(kPropertiesNamespace,
                                          std::span(reinterpret_cast<std::uint8_t const*>(path.data()), path.size()));
    pendingValues_.clear();
    entries_.clear();
    loadError_.reset();
    NoteCheckLocked();
    seen_ = StampOf(file_);
    seenSettled_ = IsSettled(seen_);
    try {
      entries_ = detail::ReadSettingsFile(file_).entries;
      // A conversion from the tab-separated file wrote a new file.
      seen_ = StampOf(file_);
      seenSettled_ = IsSettled(seen_);
    } catch (exSettingsFile const& error) {
      // Reads report the error; writes re-read the file and refuse to replace it, so nothing is lost.
      loadError_ = error;
      seenSettled_ = false;
    }
  }

  // Re-reads the file when it may have changed since it was last seen. Values not yet flushed win over it.
  bool RefreshLocked() const {
    NoteCheckLocked();
    FileStamp const stamp = StampOf(file_);
    if (stamp == seen_ && seenSettled_) return false;
    SettingsEntries entries;
    try {
      entries = detail::ReadSettingsFile(file_).entries;
    } catch (exSettingsFile const& error) {
      bool const changed = !loadError_ || loadError_->what() != std::string_view(error.what());
      loadError_ = error;
      seenSettled_ = false;
      return changed;
    }
    bool const recovered = loadError_.has_value();
    loadError_.reset();
    for (auto const& key : pendingValues_) {
      entries[key].value = entries_[key].value;
      entries[key].invalid.reset();
    }
    PruneEmpty(entries);
    seen_ = stamp;
    seenSettled_ = IsSettled(stamp);
    if (entries == entries_) return recovered;
    entries_ = std::move(entries);
    return true;
  }

  // Writes the file as it is on disk now with the pending values and read-only marks of `entries` merged in, and
  // makes that the state in memory. Other processes' changes are not lost: they wait for the file's lock meanwhile.
  // Throws kResultSettingsFile, changing nothing, when the file cannot be read or written.
  void PersistLocked(SettingsEntries const& entries, KeySet const& values, KeySet const& readOnlyMarks) {
    auto disk = detail::UpdateSettingsFile(file_, [&](detail::SettingsFileContent& content) {
      for (auto const& key : readOnlyMarks) content.entries[key].readOnly = entries.at(key).readOnly;
      for (auto const& key : values) {
        auto& entry = content.entries[key];
        // Another process locked the key after our value was set: its lock wins.
        if (entry.readOnly && !readOnlyMarks.contains(key)) continue;
        entry.value = entries.at(key).value;
        entry.invalid.reset();
      }
      PruneEmpty(content.entries);
    });
    writesInProcess.fetch_add(1, std::memory_order_release);
    entries_ = std::move(disk.entries);
    loadError_.reset();
    pendingValues_.clear();
    seen_ = StampOf(file_);
    seenSettled_ = IsSettled(seen_);
  }

  // Before the file is looked at: a write that lands meanwhile makes the next RefreshIfStale look again.
  void NoteCheckLocked() const {
    checkedWrites_ = writesInProcess.load(std::memory_order_acquire);
    checkedAt_ = std::chrono::steady_clock::now();
  }

  void ThrowLoadErrorLocked() const {
    if (loadError_) throw *loadError_;
  }

  mutable std::mutex mutex_;
  std::filesystem::path file_;  // guarded by mutex_
  Guid warningTarget_;          // guarded by mutex_
  // What the file held when last read or written, with the values not yet written: a cache of the file, which const
  // reads refresh too.
  mutable SettingsEntries entries_;   // guarded by mutex_
  KeySet pendingValues_;              // not yet written to the file; guarded by mutex_
  mutable FileStamp seen_;            // the file as last read or written; guarded by mutex_
  mutable bool seenSettled_ = false;  // guarded by mutex_
  // When the file was last looked at, and writesInProcess then; guarded by mutex_.
  mutable std::chrono::steady_clock::time_point checkedAt_{};
  mutable std::uint64_t checkedWrites_ = 0;
  // Why the file could not be read when last tried: reads throw it until it reads again. Guarded by mutex_.
  mutable std::optional<exSettingsFile> loadError_;
};

}  // namespace

InterfaceRef<IProperties> CreateProperties(std::filesystem::path const& file) {
  return InterfaceRef<IProperties>(Properties::AllocateClassInstance(file));
}

std::filesystem::path GetDefaultPropertiesFilePath() { return detail::UserConfigDirectory() / "properties"; }

}  // namespace BE

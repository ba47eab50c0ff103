#include "zelcore/DebugDatabase.h"

#include <mutex>
#include <utility>

#include "zelcore/FileUtils.h"
#include "zelcore/TextConversions.h"

namespace zelcore::debug {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  auto const first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool HasControlCharacter(std::string_view text) {
  for (char const c : text) {
    auto const byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
  }
  return false;
}

using Entry = std::pair<std::string, std::string>;

// Parses one `key=value`; on failure returns the reason.
std::optional<std::string> ParseEntry(std::string_view text, Entry& entry) {
  if (!text::IsValidUTF8(text)) return "not valid UTF-8";
  if (HasControlCharacter(text)) return "contains a control character";
  auto const equals = text.find('=');
  if (equals == std::string_view::npos) return "expected key=value";
  std::string_view const key = Trim(text.substr(0, equals));
  if (key.empty()) return "the key is empty";
  entry = {std::string(key), std::string(Trim(text.substr(equals + 1)))};
  return std::nullopt;
}

}  // namespace

DebugDatabase& DebugDatabase::Instance() {
  // Never destroyed: entries may be read while other statics are torn down at exit.
  static DebugDatabase* instance = new DebugDatabase;
  return *instance;
}

DebugDatabase::DebugDatabase() = default;

std::string DebugDatabase::GetEntry(std::string_view key, std::string_view defaultValue) const {
  std::shared_lock lock(mutex_);
  auto const found = entries_.find(key);
  return found == entries_.end() ? std::string(defaultValue) : found->second;
}

bool DebugDatabase::GetBooleanEntry(std::string_view key, bool defaultValue) const {
  return GetEntry(key, defaultValue ? "true" : "false") == "true";
}

std::optional<std::string> DebugDatabase::FindEntry(std::string_view key) const {
  std::shared_lock lock(mutex_);
  auto const found = entries_.find(key);
  if (found == entries_.end()) return std::nullopt;
  return found->second;
}

std::map<std::string, std::string> DebugDatabase::GetAllEntries() const {
  std::shared_lock lock(mutex_);
  return {entries_.begin(), entries_.end()};
}

void DebugDatabase::SetEntry(std::string_view key, std::string_view value) {
  std::unique_lock lock(mutex_);
  entries_.insert_or_assign(std::string(key), std::string(value));
}

bool DebugDatabase::RemoveEntry(std::string_view key) {
  std::unique_lock lock(mutex_);
  auto const found = entries_.find(key);
  if (found == entries_.end()) return false;
  entries_.erase(found);
  return true;
}

void DebugDatabase::Clear() {
  std::unique_lock lock(mutex_);
  entries_.clear();
}

std::vector<std::string> DebugDatabase::LoadFromText(std::string_view text, std::string_view sourceName) {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());

  std::string const source = text::Std8ToUTF8String(sourceName);
  std::vector<Entry> entries;
  std::vector<std::string> errors;
  for (std::size_t lineNumber = 1; !text.empty(); ++lineNumber) {
    auto const newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    Entry entry;
    if (auto const reason = ParseEntry(line, entry)) {
      errors.push_back(source + ":" + std::to_string(lineNumber) + ": " + *reason);
    } else {
      entries.push_back(std::move(entry));
    }
  }

  std::unique_lock lock(mutex_);
  for (auto& [key, value] : entries) entries_.insert_or_assign(std::move(key), std::move(value));
  return errors;
}

std::vector<std::string> DebugDatabase::LoadFromFile(std::filesystem::path const& path) {
  Blob const contents = FileUtils::ReadFileIntoBuffer(path);
  return LoadFromText(std::string_view(reinterpret_cast<char const*>(contents->data()), contents->size()),
                      path.native());
}

DebugCommandLine DebugDatabase::LoadFromCommandLine(int argc, char const* const* argv) {
  constexpr std::string_view kOption = kDebugEntryOption;
  DebugCommandLine result;
  std::vector<Entry> entries;
  auto const parse = [&](std::string_view text) {
    Entry entry;
    if (auto const reason = ParseEntry(text, entry)) {
      result.errors.push_back(std::string(kOption) + " \"" + text::Std8ToUTF8String(text) + "\": " + *reason);
    } else {
      entries.push_back(std::move(entry));
    }
  };

  bool optionsEnded = false;
  for (int i = 0; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    std::string_view const argument = argv[i];
    if (i == 0 || optionsEnded) {
      result.arguments.emplace_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
      result.arguments.emplace_back(argument);
    } else if (argument == kOption) {
      // The value is the next argument, unless that is another option, which is then kept for the tool.
      if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
        parse(argv[++i]);
      } else {
        result.errors.push_back(std::string(kOption) + " needs a key=value argument");
      }
    } else if (argument.starts_with(kOption) && argument.substr(kOption.size()).starts_with('=')) {
      parse(argument.substr(kOption.size() + 1));
    } else {
      result.arguments.emplace_back(argument);
    }
  }

  std::unique_lock lock(mutex_);
  for (auto& [key, value] : entries) entries_.insert_or_assign(std::move(key), std::move(value));
  return result;
}

}  // namespace zelcore::debug

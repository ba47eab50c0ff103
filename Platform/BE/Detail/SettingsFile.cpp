#include "BE/Detail/SettingsFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <span>
#include <sstream>
#include <system_error>
#include <thread>

#include "BE/Detail/TomlLimits.h"
#include "BE/SettingsFileException.h"
#include "zelcore/AtomicFile.h"
#include "zelcore/TextConversions.h"

namespace BE::detail {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kLegacyHeader = "# Quillan properties: value<TAB>key<TAB>type<TAB>text, or readonly<TAB>key";
constexpr std::string_view kHeader =
    "# Quillan settings. [values] holds one entry per key: an integer, or { type = <type tag>, text = \"...\" } for\n"
    "# other kinds of value. Keys listed in read-only are locked: Quillan does not change them.\n";
constexpr char kValuesKey[] = "values";
constexpr char kReadOnlyKey[] = "read-only";
constexpr std::uintmax_t kMaxFileSize = TomlLimits{}.maxBytes;

std::string ErrorText(std::error_code const& error) { return error.message(); }
std::string ErrorText(int error) { return std::generic_category().message(error); }

fs::path FolderOf(fs::path const& file) { return file.has_parent_path() ? file.parent_path() : fs::path("."); }

// --- the tab-separated format

std::optional<std::string> Unescape(std::string_view text) {
  std::string plain;
  plain.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      plain += text[i];
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    switch (text[i]) {
      case '\\':
        plain += '\\';
        break;
      case 't':
        plain += '\t';
        break;
      case 'n':
        plain += '\n';
        break;
      case 'r':
        plain += '\r';
        break;
      default:
        return std::nullopt;
    }
  }
  return plain;
}

std::vector<std::string_view> SplitFields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (true) {
    auto const tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

void ParseLegacyEntry(std::string_view line, SettingsEntries& entries) {
  auto const fields = SplitFields(line);
  if (fields.size() < 2) return;
  auto key = Unescape(fields[1]);
  if (!key || key->empty()) return;
  if (fields[0] == "readonly" && fields.size() == 2) {
    entries[*key].readOnly = true;
  } else if (fields[0] == "value" && fields.size() == 4) {
    int typeTag = 0;
    auto text = Unescape(fields[3]);
    if (Conversion::Result(fields[2], typeTag) && text) entries[*key].value = StoredValue{typeTag, std::move(*text)};
  }
}

// --- the TOML format

// A TOML basic string. Keys are quoted this way too: the library's writer leaves a key with a tab bare.
std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char const c : text) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\t':
        quoted += "\\t";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          quoted += escaped;
        } else {
          quoted += c;
        }
    }
  }
  return quoted + '"';
}

std::string NodeText(toml::node const& node) {
  std::ostringstream text;
  node.visit([&](auto const& typed) { text << typed; });
  return text.str();
}

std::string Describe(toml::node const& node) {
  switch (node.type()) {
    case toml::node_type::string:
      return "a string (" + Quote(node.as_string()->get()) + ")";
    case toml::node_type::integer:
      return "an integer (" + NodeText(node) + ")";
    case toml::node_type::floating_point:
      return "a floating-point number (" + NodeText(node) + ")";
    case toml::node_type::boolean:
      return "a boolean (" + NodeText(node) + ")";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::table:
      return "a table that is not { type = <integer>, text = <string> }";
    default:
      return "a date or time (" + NodeText(node) + ")";
  }
}

std::optional<StoredValue> ToStored(toml::node const& node) {
  if (auto const* integer = node.as_integer())
    return StoredValue{kSerializeableTypeInt, std::to_string(integer->get())};
  auto const* table = node.as_table();
  if (table == nullptr || table->size() != 2) return std::nullopt;
  auto const* type = table->get_as<std::int64_t>("type");
  auto const* text = table->get_as<std::string>("text");
  if (type == nullptr || text == nullptr || type->get() < std::numeric_limits<SerializeableValueBase::TypeTag>::min() ||
      type->get() > std::numeric_limits<SerializeableValueBase::TypeTag>::max() ||
      text->get().find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return StoredValue{static_cast<SerializeableValueBase::TypeTag>(type->get()), text->get()};
}

std::string Key(std::string_view key) {
  bool const bare = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
  });
  return bare ? std::string(key) : Quote(key);
}

std::string ValueText(StoredValue const& value) {
  int number = 0;
  if (value.typeTag == kSerializeableTypeInt && Conversion::Result(value.text, number)) return std::to_string(number);
  return "{ type = " + std::to_string(value.typeTag) + ", text = " + Quote(value.text) + " }";
}

// An entry as the file held it, on one line.
std::string NodeLine(toml::node const& node) {
  if (auto const* table = node.as_table()) {
    toml::table copy = *table;
    copy.is_inline(true);
    return NodeText(copy);
  }
  return NodeText(node);
}

std::optional<std::string> ReadText(fs::path const& file) {
  std::error_code error;
  auto const status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  auto fail = [&](std::string const& reason) -> std::string {
    throw exSettingsFile(file, {}, "cannot be read: " + reason);
  };
  if (error) return fail(ErrorText(error));
  if (!fs::is_regular_file(status)) return fail("not a regular file");
  auto const size = fs::file_size(file, error);
  if (error) return fail(ErrorText(error));
  if (size > kMaxFileSize) return fail("larger than " + std::to_string(kMaxFileSize) + " bytes");
  std::ifstream in(file, std::ios::binary);
  if (!in) return fail(ErrorText(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return fail("read error");
  return text.str();
}

SettingsFileContent LegacyContent(std::string const& legacyText) {
  SettingsFileContent content;
  content.entries = ParseLegacySettings(legacyText);
  // TOML holds UTF-8 only; an entry that is not stays in the tab-separated file alone.
  std::erase_if(content.entries, [](auto const& item) {
    return !zelcore::text::IsValidUTF8(item.first) ||
           (item.second.value && !zelcore::text::IsValidUTF8(item.second.value->text));
  });
  return content;
}

// Replaces `file` by `text` atomically. A symbolic link is followed, so the file it points to is replaced and the link
// stays: replacing the link would cut it from the file it points to (a settings folder kept elsewhere). The new file
// keeps the permission bits of the one it replaces; a file that did not exist gets `newFileMode`, less the umask: by
// default 0644, as configuration files are, since settings hold nothing secret and a user who wants them private
// makes the file 0600 once. Throws exSettingsFile, leaving the old file in place, when that fails.
void WriteText(fs::path const& file, std::string const& text, mode_t newFileMode = 0644) {
  try {
    zelcore::WriteFileAtomically(file, std::span(reinterpret_cast<std::uint8_t const*>(text.data()), text.size()),
                                 {.links = zelcore::AtomicWriteOptions::Links::kFollow, .newFileMode = newFileMode});
  } catch (zelcore::AtomicWriteError const& error) {
    throw exSettingsFile(file, {}, "cannot be written: " + error.GetReason());
  }
}

// FormatSettings(content) with WriteText, once it has checked that the text parses back. The caller
// holds the file's lock.
void WriteSettingsFile(fs::path const& file, SettingsFileContent const& content) {
  std::string const text = FormatSettings(content);
  // A file that would not read back would lock every setting out; the old one stays instead.
  try {
    ParseSettings(text, file);
  } catch (exSettingsFile const& error) {
    throw exSettingsFile(file, {}, std::string("cannot be written: it would not read back (") + error.what() + ")");
  }
  WriteText(file, text);
}

// Replaces the tab-separated file by the TOML form of its entries, keeping a copy beside it. When that fails the
// entries are returned all the same and the conversion is tried again at the next read. The caller holds the
// file's lock.
SettingsFileContent ConvertLegacy(fs::path const& file, std::string const& legacyText) {
  SettingsFileContent content = LegacyContent(legacyText);
  try {
    fs::path backup = file;
    backup += kLegacyBackupSuffix;
    // The copy is as private as the file it copies.
    struct stat status {};
    mode_t const mode = ::stat(file.c_str(), &status) == 0 ? status.st_mode & 0777 : 0600;
    WriteText(backup, legacyText, mode);
    WriteSettingsFile(file, content);
  } catch (exSettingsFile const&) {
  }
  return content;
}

// ReadSettingsFile for a caller that holds the file's lock.
SettingsFileContent ReadLocked(fs::path const& file) {
  auto const text = ReadText(file);
  if (!text) return {};
  if (IsLegacySettings(*text)) return ConvertLegacy(file, *text);
  return ParseSettings(*text, file);
}

}  // namespace

SettingsEntries ParseLegacySettings(std::string_view text) {
  SettingsEntries entries;
  while (!text.empty()) {
    auto const newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line != kLegacyHeader) ParseLegacyEntry(line, entries);
  }
  return entries;
}

bool IsLegacySettings(std::string_view text) {
  auto const firstLine = text.substr(0, text.find('\n'));
  return firstLine == kLegacyHeader ||
         (firstLine.ends_with('\r') && firstLine.substr(0, firstLine.size() - 1) == kLegacyHeader);
}

SettingsFileContent ParseSettings(std::string_view text, fs::path const& file) {
  // The TOML library recurses for each part of a dotted key and each nested value, without bounds on the former.
  if (auto const violation = FindTomlLimitViolation(text)) {
    if (violation->line == 0) throw exSettingsFile(file, {}, violation->problem);
    throw exSettingsFile(file, {},
                         "line " + std::to_string(violation->line) + ", column " + std::to_string(violation->column) +
                             ": " + violation->problem);
  }
  SettingsFileContent content;
  try {
    content.document = toml::parse(text, file.string());
  } catch (toml::parse_error const& error) {
    auto const& where = error.source().begin;
    throw exSettingsFile(file, {},
                         "not valid TOML: line " + std::to_string(where.line) + ", column " +
                             std::to_string(where.column) + ": " + std::string(error.description()));
  }
  if (auto const* node = content.document.get(kValuesKey)) {
    auto const* values = node->as_table();
    if (values == nullptr) throw exSettingsFile(file, kValuesKey, Describe(*node) + ", where a table is expected");
    for (auto const& [key, value] : *values) {
      auto& entry = content.entries[std::string(key.str())];
      if (auto stored = ToStored(value)) {
        entry.value = std::move(stored);
      } else {
        entry.invalid = Describe(value);
      }
    }
  }
  if (auto const* node = content.document.get(kReadOnlyKey)) {
    auto const* keys = node->as_array();
    if (keys == nullptr) {
      throw exSettingsFile(file, kReadOnlyKey, Describe(*node) + ", where an array of key names is expected");
    }
    for (auto const& key : *keys) {
      auto const* name = key.as_string();
      if (name == nullptr) {
        throw exSettingsFile(file, kReadOnlyKey, "holds " + Describe(key) + ", where only key names (strings) belong");
      }
      content.entries[name->get()].readOnly = true;
    }
  }
  return content;
}

std::string FormatSettings(SettingsFileContent const& content) {
  toml::table others = content.document;
  others.erase(kReadOnlyKey);
  others.erase(kValuesKey);
  auto const* oldValues = content.document.get_as<toml::table>(kValuesKey);
  std::string readOnly;
  std::string values;
  for (auto const& [key, entry] : content.entries) {
    if (entry.value) {
      values += Key(key) + " = " + ValueText(*entry.value) + '\n';
    } else if (entry.invalid && oldValues != nullptr) {
      // Written back as it was, for its owner to mend.
      if (auto const* old = oldValues->get(key)) values += Key(key) + " = " + NodeLine(*old) + '\n';
    }
    if (entry.readOnly) readOnly += (readOnly.empty() ? "" : ", ") + Quote(key);
  }
  std::string text(kHeader);
  if (!readOnly.empty()) text += std::string(kReadOnlyKey) + " = [" + readOnly + "]\n";
  // Keys and tables of a newer version, before [values] so that none of them falls into it.
  if (!others.empty()) {
    std::ostringstream other;
    // Without indentation: a deeply nested value that passed the limits must not grow with its depth squared.
    other << toml::toml_formatter(others, toml::toml_formatter::default_flags & ~toml::format_flags::indentation);
    text += other.str() + '\n';
  }
  text += "\n[" + std::string(kValuesKey) + "]\n" + values;
  return text;
}

SettingsFileLock::SettingsFileLock(fs::path const& file, std::chrono::milliseconds timeout) {
  fs::path target;
  try {
    target = zelcore::FollowSymbolicLinks(file);
  } catch (std::system_error const& error) {
    throw exSettingsFile(file, {}, "cannot be locked: " + ErrorText(error.code()));
  }
  fs::path lock = target;
  lock += kLockSuffix;
  auto fail = [&](std::string const& reason) {
    throw exSettingsFile(file, {}, "cannot be locked with " + lock.string() + ": " + reason);
  };
  std::error_code error;
  fs::create_directories(FolderOf(lock), error);
  if (error) fail(ErrorText(error));
  // As open to others as the settings file, since whoever may write it takes the lock; only its owner's while there
  // is no file yet.
  struct stat status {};
  mode_t const mode = ::stat(target.c_str(), &status) == 0 ? status.st_mode & 0666 : 0600;
  // A link put in the lock's place is refused rather than followed, and a FIFO there cannot hang the open.
  int const fd = ::open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  if (fd < 0) fail(errno == ELOOP ? "it is a symbolic link" : ErrorText(errno));
  auto failClosing = [&](std::string const& reason) {
    ::close(fd);
    fail(reason);
  };
  struct stat lockStatus {};
  if (::fstat(fd, &lockStatus) != 0) failClosing(ErrorText(errno));
  if (!S_ISREG(lockStatus.st_mode)) failClosing("not a regular file");
  // Polled rather than waited for, so that a process stopped while it holds the lock is reported, not waited for
  // without end.
  auto const deadline = std::chrono::steady_clock::now() + timeout;
  std::chrono::milliseconds pause{1};
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int const lockError = errno;
    if (lockError == EINTR) continue;
    if (lockError != EWOULDBLOCK) failClosing(ErrorText(lockError));
    if (std::chrono::steady_clock::now() >= deadline) {
      failClosing("another process has held the lock for more than " + std::to_string(timeout.count()) + " ms");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds{20});
  }
  fd_ = fd;
}

SettingsFileLock::~SettingsFileLock() { ::close(fd_); }

SettingsFileContent ReadSettingsFile(fs::path const& file) {
  auto const text = ReadText(file);
  if (!text) return {};
  if (!IsLegacySettings(*text)) return ParseSettings(*text, file);
  // The conversion writes: under the lock, from the file as it is then, so that it cannot undo a change that
  // another process made after the text above was read.
  std::optional<SettingsFileLock> lock;
  try {
    lock.emplace(file);
  } catch (exSettingsFile const&) {
    // A folder this process may not write to, say: the file is read as it is and converted by a later reader.
    return LegacyContent(*text);
  }
  return ReadLocked(file);
}

SettingsFileContent UpdateSettingsFile(fs::path const& file, std::function<void(SettingsFileContent&)> const& change) {
  SettingsFileLock const lock(file);
  SettingsFileContent content = ReadLocked(file);
  change(content);
  WriteSettingsFile(file, content);
  return content;
}

}  // namespace BE::detail

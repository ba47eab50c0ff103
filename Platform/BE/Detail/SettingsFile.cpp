#include "BE/Detail/SettingsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

#include "BE/Result.h"
#include "zelcore/ZelException.h"

namespace BE::detail {
namespace {

using zelcore::config::zel_exception;

constexpr std::string_view kHeader = "# Quillan properties: value<TAB>key<TAB>type<TAB>text, or readonly<TAB>key";
constexpr std::uintmax_t kMaxFileSize = 16 * 1024 * 1024;

std::string Escape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char const c : text) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

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

// Applies one line to `entries`; false when it is not a well-formed entry.
bool ParseEntry(std::string_view line, SettingsEntries& entries) {
  auto const fields = SplitFields(line);
  if (fields.size() < 2) return false;
  auto key = Unescape(fields[1]);
  if (!key || key->empty()) return false;
  if (fields[0] == "readonly" && fields.size() == 2) {
    entries[*key].readOnly = true;
    return true;
  }
  if (fields[0] == "value" && fields.size() == 4) {
    int typeTag = 0;
    auto text = Unescape(fields[3]);
    if (!Conversion::Result(fields[2], typeTag) || !text) return false;
    entries[*key].value = StoredValue{typeTag, std::move(*text)};
    return true;
  }
  return false;
}

std::string ErrorText(std::error_code const& error) { return error.message(); }
std::string ErrorText(int error) { return std::generic_category().message(error); }

}  // namespace

SettingsFileContent ParseSettings(std::string_view text) {
  SettingsFileContent content;
  while (!text.empty()) {
    auto const newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    std::string_view trimmed = line;
    if (!trimmed.empty() && trimmed.back() == '\r') trimmed.remove_suffix(1);
    if (trimmed.empty() || trimmed == kHeader) continue;
    if (!ParseEntry(trimmed, content.entries)) content.otherLines.emplace_back(line);
  }
  return content;
}

std::string FormatSettings(SettingsFileContent const& content) {
  std::string text(kHeader);
  text += '\n';
  for (auto const& line : content.otherLines) {
    text += line;
    text += '\n';
  }
  for (auto const& [key, entry] : content.entries) {
    if (entry.value) {
      text += "value\t" + Escape(key) + '\t' + std::to_string(entry.value->typeTag) + '\t' + Escape(entry.value->text) +
              '\n';
    }
    if (entry.readOnly) text += "readonly\t" + Escape(key) + '\n';
  }
  return text;
}

SettingsFileContent ReadSettingsFile(std::filesystem::path const& file) {
  std::error_code error;
  auto const status = std::filesystem::status(file, error);
  if (status.type() == std::filesystem::file_type::not_found) return {};
  auto fail = [&](std::string const& reason) -> SettingsFileContent {
    throw zel_exception("The settings file " + file.string() + " cannot be read: " + reason, kResultSettingsFile);
  };
  if (error) return fail(ErrorText(error));
  if (!std::filesystem::is_regular_file(status)) return fail("not a regular file");
  auto const size = std::filesystem::file_size(file, error);
  if (error) return fail(ErrorText(error));
  if (size > kMaxFileSize) return fail("larger than " + std::to_string(kMaxFileSize) + " bytes");
  std::ifstream in(file, std::ios::binary);
  if (!in) return fail(ErrorText(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return fail("read error");
  return ParseSettings(text.str());
}

void WriteFileAtomically(std::filesystem::path const& file, std::string const& text) {
  auto fail = [&](std::string const& reason) {
    throw zel_exception("The settings file " + file.string() + " cannot be written: " + reason, kResultSettingsFile);
  };
  std::error_code error;
  if (file.has_parent_path()) {
    std::filesystem::create_directories(file.parent_path(), error);
    if (error) fail(ErrorText(error));
  }
  static std::atomic<unsigned> counter{0};
  std::filesystem::path temporary = file;
  temporary += ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));

  int const fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) fail(ErrorText(errno));
  std::size_t written = 0;
  int writeError = 0;
  while (written < text.size()) {
    ssize_t const n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      writeError = errno;
      break;
    }
    written += static_cast<std::size_t>(n);
  }
  // Durable before it replaces the old file, so a crash leaves one whole file or the other.
  if (writeError == 0 && ::fsync(fd) != 0) writeError = errno;
  if (::close(fd) != 0 && writeError == 0) writeError = errno;
  if (writeError == 0 && ::rename(temporary.c_str(), file.c_str()) != 0) writeError = errno;
  if (writeError != 0) {
    ::unlink(temporary.c_str());
    fail(ErrorText(writeError));
  }
}

}  // namespace BE::detail

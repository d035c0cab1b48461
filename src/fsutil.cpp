#include "fsutil.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <map>
#include <ostream>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "fsutil_internal.hpp"
#include "utf8.hpp"
#include "winpath.hpp"

namespace kelvaro {

namespace {

namespace fs = std::filesystem;

// Unicode White_Space, as UTF-8 byte sequences, so that trimming needs no decoding and never
// misreads bytes that are not UTF-8.
constexpr std::array<std::string_view, 25> white_space = {
    "\t",           "\n",           "\v",           "\f",           "\r",           " ",
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
    "\xE3\x80\x80",
};

// Deletes the temporary file of `write_atomic` unless the rename took it away.
class TempFileGuard {
 public:
  explicit TempFileGuard(fs::path path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!renamed_) {
      (void)remove_file(path_);
    }
  }

  const fs::path& path() const { return path_; }
  void set_renamed() { renamed_ = true; }

 private:
  fs::path path_;
  bool renamed_ = false;
};

// Where `write_atomic` writes: the target of a link at `path`, else `path` itself; `absent`
// is set when nothing is there yet, so that a new file is not looked up again.
fs::path write_destination(const fs::path& path, bool& absent) {
  const auto kind = path_kind(path, false);
  absent = !kind && kind.error() == std::errc::no_such_file_or_directory;
  if (!kind || *kind != PathKind::link) {
    return path;
  }
  auto canonical = canonical_path(path);
  if (canonical) {
    return *canonical;
  }
  // A dangling link: write where it points, so that it resolves afterwards.
  auto stored = read_link_text(path);
  if (!stored) {
    return path;
  }
  return resolve_link_target(path, *stored);
}

class FileKindCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "kelvaro.file-kind"; }
  std::string message(int code) const override {
    return code == changed_code ? "changed while it was read" : "not a regular file";
  }

  static constexpr int not_regular_code = 1;
  static constexpr int changed_code = 2;
};

const FileKindCategory& file_kind_category() {
  static const FileKindCategory category;
  return category;
}

// Paths hold bytes on POSIX and UTF-16 on Windows; templates, so that only the branch of
// the platform at hand is compiled.
template <typename Char>
std::basic_string<Char> native_from_utf8(std::string_view text) {
  if constexpr (std::is_same_v<Char, char>) {
    return std::string(text);
  } else {
    std::u16string wide = utf8_to_utf16(text);
    return std::basic_string<Char>(wide.begin(), wide.end());
  }
}

template <typename Char>
std::string utf8_from_native(const std::basic_string<Char>& native) {
  if constexpr (std::is_same_v<Char, char>) {
    return native;
  } else {
    return utf16_to_utf8(std::u16string(native.begin(), native.end()));
  }
}

template <typename Char>
std::string shown_utf8(const std::basic_string<Char>& native) {
  if constexpr (std::is_same_v<Char, char>) {
    // Nearly every name is ASCII, which is valid UTF-8 as it stands.
    if (std::all_of(native.begin(), native.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
      return native;
    }
    return to_valid_utf8(native);
  } else {
    return utf16_to_valid_utf8(std::u16string(native.begin(), native.end()));
  }
}

template <typename Char>
bool is_absolute_native(std::string_view text) {
  if constexpr (std::is_same_v<Char, char>) {
    return text.starts_with('/');
  } else {
    return is_absolute_windows_path(text);
  }
}

}  // namespace

std::error_code not_a_regular_file() {
  return {FileKindCategory::not_regular_code, file_kind_category()};
}

std::error_code changed_while_read() {
  return {FileKindCategory::changed_code, file_kind_category()};
}

std::string_view trim_space_end(std::string_view text) {
  bool trimmed = true;
  while (trimmed) {
    trimmed = false;
    for (std::string_view space : white_space) {
      if (text.ends_with(space)) {
        text.remove_suffix(space.size());
        trimmed = true;
        break;
      }
    }
  }
  return text;
}

std::size_t white_space_length(std::string_view text) {
  for (std::string_view space : white_space) {
    if (text.starts_with(space)) {
      return space.size();
    }
  }
  return 0;
}

std::string_view trim_space_start(std::string_view text) {
  while (std::size_t length = white_space_length(text)) {
    text.remove_prefix(length);
  }
  return text;
}

std::string_view trim_space(std::string_view text) {
  return trim_space_start(trim_space_end(text));
}

std::string visible_text(std::string_view text) {
  // Names are printed by the ten thousand and almost never hold a control character.
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || byte == 0xC2;
  });
  if (plain) {
    return std::string(text);
  }
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      result += fmt::format("\\x{:02x}", byte);
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      result += fmt::format("\\u00{:02x}", static_cast<unsigned char>(text[i + 1]));
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

std::string display(const fs::path& path) {
  return visible_text(path_text(path));
}

std::string path_text(const fs::path& path) {
  return shown_utf8(path.native());
}

fs::path path_from_utf8(std::string_view text) {
  return fs::path(native_from_utf8<fs::path::value_type>(text));
}

std::string path_to_utf8(const fs::path& path) {
  return utf8_from_native(path.native());
}

bool is_absolute_path(std::string_view text) {
  return is_absolute_native<fs::path::value_type>(text);
}

std::string path_to_generic_utf8(const fs::path& path) {
  std::string text = path_to_utf8(path);
  if (fs::path::preferred_separator != '/') {
    std::replace(text.begin(), text.end(), '\\', '/');
  }
  return text;
}

Result<EnvSnapshot> environment_from_entries(
    const std::vector<std::pair<std::string, std::string>>& entries) {
  EnvSnapshot env;
  for (const auto& [name, value] : entries) {
    if (!is_valid_utf8(name)) {
      return unexpected(fmt::format("the name of environment variable {} is not valid UTF-8",
                                    to_valid_utf8(name)));
    }
    if (!is_valid_utf8(value)) {
      return unexpected(
          fmt::format("the value of environment variable {} is not valid UTF-8", name));
    }
    // The first of two entries with one name is the one getenv would return.
    env.emplace(name, value);
  }
  return env;
}

fs::path normalize_path(const fs::path& path) {
  using Native = fs::path::string_type;
  static const Native dot(1, '.');
  static const Native dot_dot(2, '.');
  const bool anchored = path.has_root_name() || path.has_root_directory();
  // The kept components are the path's own, joined once at the end: appending them to a path
  // one by one would split the growing path again for each.
  std::vector<const Native*> parts;
  for (const fs::path& part : path) {
    const Native& name = part.native();
    if (name.empty() || name == dot || part.has_root_name() || part.has_root_directory()) {
      continue;  // "a/./b", the empty part after a trailing separator, and the root
    }
    if (name == dot_dot) {
      if (!parts.empty() && *parts.back() != dot_dot) {
        parts.pop_back();
      } else if (!anchored) {
        parts.push_back(&name);  // a relative path may climb above its start
      }
      continue;
    }
    parts.push_back(&name);
  }
  Native text = path.root_name().native();
  text += path.root_directory().native();
  std::size_t size = text.size();
  for (const Native* part : parts) {
    size += part->size() + 1;
  }
  text.reserve(size);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) {
      text += fs::path::preferred_separator;
    }
    text += *parts[i];
  }
  return fs::path(std::move(text));
}

fs::path resolve_link_target(const fs::path& link, const fs::path& target) {
  if (target.is_absolute()) {
    return normalize_path(target);
  }
  return normalize_path(link.parent_path() / target);
}

std::vector<fs::path> path_components(const fs::path& path) {
  std::vector<fs::path> parts;
  for (const fs::path& part : path) {
    if (!part.empty()) {
      parts.push_back(part);
    }
  }
  return parts;
}

bool same_components(const fs::path& a, const fs::path& b) {
  return path_components(a) == path_components(b);
}

bool starts_with_components(const std::vector<fs::path>& parts,
                            const std::vector<fs::path>& prefix) {
  return parts.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), parts.begin());
}

fs::path absolute_normal_path(const fs::path& path) {
  if (path.is_absolute()) {
    return normalize_path(path);
  }
  auto cwd = current_folder();
  if (!cwd) {
    return normalize_path(path);
  }
  return normalize_path(*cwd / path);
}

bool lies_within(const fs::path& path, const fs::path& dir) {
  return starts_with_components(path_components(absolute_normal_path(path)),
                                path_components(absolute_normal_path(dir)));
}

fs::path relative_path(const fs::path& from_dir, const fs::path& to) {
  const fs::path from = normalize_path(from_dir);
  return relative_path_between(from, path_components(from), normalize_path(to));
}

fs::path relative_path_between(const fs::path& from, const std::vector<fs::path>& from_parts,
                               const fs::path& to) {
  if (from.is_absolute() != to.is_absolute() || from.root_name() != to.root_name()) {
    return to;
  }
  const std::vector<fs::path> to_parts = path_components(to);
  std::size_t common = 0;
  while (common < from_parts.size() && common < to_parts.size() &&
         from_parts[common] == to_parts[common]) {
    ++common;
  }
  fs::path result;
  for (std::size_t i = common; i < from_parts.size(); ++i) {
    result /= "..";
  }
  for (std::size_t i = common; i < to_parts.size(); ++i) {
    result /= to_parts[i];
  }
  if (result.empty()) {
    return ".";
  }
  return result;
}

Result<FileText, std::error_code> read_text_file(const fs::path& path) {
  auto bytes = read_file(path);
  if (!bytes) {
    return unexpected(bytes.error());
  }
  if (!is_valid_utf8(*bytes)) {
    return unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
  }
  return std::move(*bytes);
}

std::string display_under(const fs::path& path, const fs::path& base) {
  auto p = path.begin();
  for (auto b = base.begin(); b != base.end(); ++b) {
    if (b->empty()) {
      continue;
    }
    if (p == path.end() || *p != *b) {
      return display(path);
    }
    ++p;
  }
  fs::path rest;
  for (; p != path.end(); ++p) {
    rest /= *p;
  }
  return display(rest);
}

namespace {

std::vector<fs::path>& unflushed_folders() {
  static std::vector<fs::path> folders;
  return folders;
}

// Bytes already held whole, handed over as one piece.
ByteSource whole_text(std::string_view bytes) {
  return [bytes](const std::function<bool(std::string_view)>& put) {
    put(bytes);
    return true;
  };
}

}  // namespace

const std::vector<fs::path>& folders_to_flush() {
  return unflushed_folders();
}

std::error_code finish_standard_output(std::ostream& out) {
  errno = 0;
  out.flush();
  if (!out.fail()) {
    return {};
  }
  const int error = errno;
  if (standard_output_reader_gone(error)) {
    return {};
  }
  return {error != 0 ? error : EIO, std::generic_category()};
}

void flush_written_folders() {
  for (const fs::path& folder : unflushed_folders()) {
    sync_folder(folder);
  }
  unflushed_folders().clear();
}

Result<void, std::error_code> write_new_file(const fs::path& path, std::string_view bytes,
                                             std::optional<std::uint32_t> mode) {
  return write_new_file_from(
      path, whole_text(bytes),
      NewFileBits{.bits = mode.value_or(shared_file_mode), .exact = mode.has_value()});
}

Result<WriteOutcome, std::error_code> write_atomic(const fs::path& path, std::string_view bytes,
                                                   std::optional<std::uint32_t> new_file_mode) {
  return write_atomic_from(path, whole_text(bytes), new_file_mode);
}

namespace {

std::optional<std::uint64_t> digits_after(std::string_view entry, std::string_view prefix) {
  if (!entry.starts_with(prefix)) {
    return std::nullopt;
  }
  const std::string_view digits = entry.substr(prefix.size());
  std::uint64_t pid = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return pid;
}

// Removes `folder/entry` when it is a leftover of a dead run for the file `name`; true when it
// was one, whether or not its removal succeeded.
bool remove_if_dead(const fs::path& folder, const fs::path& entry, std::string_view name) {
  const auto pid = leftover_process(path_text(entry), name);
  if (!pid || (*pid != process_id() && process_running(*pid))) {
    return false;
  }
  (void)remove_tree(folder / entry);
  return true;
}

// The entries under kelvaro's temporary names in each folder `write_atomic` wrote into during
// this run. A folder is listed once, at its first write: only a dead run makes such names, and
// a run may write hundreds of files into one folder.
std::map<fs::path::string_type, std::vector<fs::path>>& leftovers_by_folder() {
  static std::map<fs::path::string_type, std::vector<fs::path>> leftovers;
  return leftovers;
}

void remove_dead_leftovers_of(const fs::path& folder, std::string_view name) {
  auto [found, first] = leftovers_by_folder().try_emplace(folder.native());
  std::vector<fs::path>& leftovers = found->second;
  if (first) {
    auto names = list_folder_names(folder);
    if (!names) {
      return;  // not there yet, as a first write's folder mostly is
    }
    for (fs::path& entry : *names) {
      if (path_text(entry).find(".kelvaro-") != std::string::npos) {
        leftovers.push_back(std::move(entry));
      }
    }
  }
  std::erase_if(leftovers,
                [&](const fs::path& entry) { return remove_if_dead(folder, entry, name); });
}

// The bits the temporary file of a write to `destination` is created with: those of the file
// it replaces, else the new-file mode.
NewFileBits temporary_bits(const fs::path& destination, bool absent,
                           std::optional<std::uint32_t> new_file_mode) {
  if (!absent) {
    if (auto kept = permission_bits(destination)) {
      return NewFileBits{.bits = *kept, .exact = true};
    }
  }
  return NewFileBits{.bits = new_file_mode.value_or(private_file_mode), .exact = false};
}

// Creates the temporary file `temp` holding what `source` hands over; the folder is made only
// when the first attempt fails and it is not there.
Result<void, std::error_code> write_temporary(const fs::path& temp, const fs::path& folder,
                                              const ByteSource& source, NewFileBits bits,
                                              bool& folder_made) {
  auto written = write_new_file_from(temp, source, bits);
  if (!written && written.error() == std::errc::file_exists) {
    // A leftover under this very name that the listing did not show: a dead run's, since
    // this run removes its own.
    (void)remove_file(temp);
    written = write_new_file_from(temp, source, bits);
  }
  if (!written && !folder_made && !is_folder(folder)) {
    // The folder nearly always exists: it is looked at, created and the file tried again
    // only when a write fails, and then a folder that cannot be made fails as that.
    folder_made = true;
    auto created = create_folders(folder);
    if (!created) {
      return created;
    }
    written = write_new_file_from(temp, source, bits);
  }
  return written;
}

}  // namespace

std::optional<std::uint64_t> leftover_process(std::string_view entry, std::string_view name) {
  if (entry.size() > name.size() + 1 && entry[0] == '.' && entry.substr(1).starts_with(name)) {
    if (auto pid = digits_after(entry.substr(1 + name.size()), ".kelvaro-")) {
      return pid;
    }
  }
  return digits_after(entry, ".kelvaro-");
}

void remove_dead_leftovers(const fs::path& path) {
  const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
  const std::string name = path_text(path.filename());
  auto names = list_folder_names(folder);
  if (!names) {
    return;
  }
  for (const fs::path& entry : *names) {
    remove_if_dead(folder, entry, name);
  }
}

Result<WriteOutcome, std::error_code> write_atomic_from(
    const fs::path& path, const ByteSource& source, std::optional<std::uint32_t> new_file_mode) {
  bool absent = false;
  const fs::path destination = write_destination(path, absent);
  const fs::path folder = destination.has_parent_path() ? destination.parent_path() : fs::path(".");
  bool folder_made = false;

  const std::string name =
      destination.has_filename() ? path_text(destination.filename()) : "kelvaro";
  const std::string pid = std::to_string(process_id());
  // A name near the file-name limit leaves no room for the decoration; the short name still
  // lies in the same folder, so the one rename stays.
  const std::string temp_names[] = {fmt::format(".{}.kelvaro-{}", name, pid),
                                    fmt::format(".kelvaro-{}", pid)};
  remove_dead_leftovers_of(folder, name);

  // A replaced file keeps its permission bits: agents' configuration files hold secrets
  // (API keys in MCP server entries) that must not become readable by everyone, not even
  // through the temporary file while it is written.
  const NewFileBits bits = temporary_bits(destination, absent, new_file_mode);

  for (const std::string& temp_name : temp_names) {
    fs::path temp_path = destination.has_filename() ? destination : destination / "";
    temp_path.replace_filename(temp_name);
    TempFileGuard guard(temp_path);
    auto written = write_temporary(guard.path(), folder, source, bits, folder_made);
    if (!written) {
      if (written.error() == std::errc::filename_too_long && &temp_name == &temp_names[0]) {
        continue;
      }
      return unexpected(written.error());
    }
    // A run as root in a user's home must not leave the user's files owned by root.
    if (!absent) {
      copy_owner(destination, guard.path());
    }
    auto renamed = rename_path(guard.path(), destination);
    if (!renamed) {
      return unexpected(renamed.error());
    }
    guard.set_renamed();
    // One flush of the folder after its last rename makes all of them durable: a run that
    // writes hundreds of files into one folder flushes it once, not once per file.
    std::vector<fs::path>& folders = unflushed_folders();
    if (std::none_of(folders.begin(), folders.end(),
                     [&](const fs::path& f) { return f.native() == folder.native(); })) {
      folders.push_back(folder);
    }
    return WriteOutcome{.path = destination, .mode = std::nullopt};
  }
  return unexpected(std::make_error_code(std::errc::filename_too_long));
}

Result<std::vector<fs::path>, std::error_code> list_folder(const fs::path& dir,
                                                           MissingFolder missing) {
  auto names = list_folder_names(dir);
  if (!names) {
    if (missing == MissingFolder::empty && names.error() == std::errc::no_such_file_or_directory) {
      return std::vector<fs::path>{};
    }
    return unexpected(names.error());
  }
  for (fs::path& name : *names) {
    name = dir / name;
  }
  return names;
}

Result<void, std::error_code> create_parent_folders(const fs::path& path) {
  const fs::path parent = path.parent_path();
  if (parent.empty()) {
    return {};
  }
  return create_folders(parent);
}

bool is_link(const fs::path& path) {
  auto kind = path_kind(path, false);
  return kind && *kind == PathKind::link;
}

std::error_code explain_link_error(const std::error_code& error) {
  if (error.category() == std::system_category()) {
    return link_creation_error(error.value());
  }
  return error;
}

bool is_folder(const fs::path& path) {
  auto kind = path_kind(path, true);
  return kind && *kind == PathKind::folder;
}

bool is_regular_file(const fs::path& path) {
  auto kind = path_kind(path, true);
  return kind && *kind == PathKind::file;
}

bool path_exists(const fs::path& path) {
  return path_kind(path, true).has_value();
}

// The handle's own bookkeeping; closing the native handle is each platform's `close`.
FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
  if (this != &other) {
    close();
    native_ = other.release();
  }
  return *this;
}

FileHandle::~FileHandle() {
  close();
}

std::intptr_t FileHandle::release() noexcept {
  return std::exchange(native_, kClosed);
}

fs::path::string_type native_text_from_utf8(std::string_view text) {
  return native_from_utf8<fs::path::value_type>(text);
}

}  // namespace kelvaro

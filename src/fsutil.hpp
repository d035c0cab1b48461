#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "context.hpp"
#include "result.hpp"

// The seam to the operating system, plus the path and text helpers every module shares.
// Only the platform half (fsutil_posix.cpp) includes system headers.
namespace kelvaro {

// --- text ---------------------------------------------------------------------------------

// True when `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);
// `text` with each invalid UTF-8 sequence replaced by U+FFFD.
std::string to_valid_utf8(std::string_view text);
// `text` without the Unicode White_Space characters (ASCII blanks, U+0085, U+00A0, U+3000 and
// the rest) at both ends, at its end, or at its start. Bytes that are not UTF-8 stop trimming.
std::string_view trim_space(std::string_view text);
std::string_view trim_space_end(std::string_view text);
std::string_view trim_space_start(std::string_view text);
// A path as text for messages and names: its bytes, invalid UTF-8 replaced by U+FFFD.
std::string display(const std::filesystem::path& path);

// --- lexical paths (never touch the file system) -------------------------------------------

// Drops "." components; a ".." removes the component before it (kept when there is none).
std::filesystem::path normalize_path(const std::filesystem::path& path);
// A link's stored `target` resolved against the folder of `link`, normalised.
std::filesystem::path resolve_link_target(const std::filesystem::path& link,
                                          const std::filesystem::path& target);

// --- files --------------------------------------------------------------------------------

// Reads the whole file at `path`.
Result<std::string, std::error_code> read_file(const std::filesystem::path& path);

// The result of `write_atomic`: the path actually written and a permission mode (never set).
struct WriteOutcome {
  std::filesystem::path path;
  std::optional<std::uint32_t> mode;

  bool operator==(const WriteOutcome&) const = default;
};

// Writes `bytes` to `path` through a temporary file ".{name}.kelvaro-{pid}" in the same folder
// and one rename; a symbolic link at `path` is followed and its target written. Creates
// missing folders. Fails with the system error of the failing step and leaves no temporary file.
Result<WriteOutcome, std::error_code> write_atomic(const std::filesystem::path& path,
                                                   std::string_view bytes);

// True when `path` itself (not followed) is a symbolic link (on Windows also a junction).
bool is_link(const std::filesystem::path& path);

// The text stored in the symbolic link at `path`, read in one system call. Fails with
// `no_such_file_or_directory` when nothing is there and `invalid_argument` when `path` is not
// a link.
Result<std::filesystem::path, std::error_code> read_link_text(const std::filesystem::path& path);

// Creates a symbolic link at `link` holding `target`; a folder link when `target_is_dir`.
Result<void, std::error_code> create_link(const std::filesystem::path& target,
                                          const std::filesystem::path& link, bool target_is_dir);

// --- platform primitives (one implementation per operating system) -----------------------

// An open file, closed when dropped. Move-only.
class FileHandle {
 public:
  FileHandle() = default;
  explicit FileHandle(std::intptr_t native) : native_(native) {}
  FileHandle(FileHandle&& other) noexcept : native_(other.release()) {}
  FileHandle& operator=(FileHandle&& other) noexcept;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle();

  bool is_open() const { return native_ != kClosed; }

 private:
  static constexpr std::intptr_t kClosed = -1;
  std::intptr_t release() noexcept;
  void close() noexcept;

  std::intptr_t native_ = kClosed;
};

// Opens `path` for writing (created when missing, never truncated) and holds it exclusively,
// without waiting. When another opener holds it, fails with `std::errc::operation_would_block`;
// any other failure is the system error.
Result<FileHandle, std::error_code> open_exclusive(const std::filesystem::path& path);

// Creates `path` as a new file (fails when anything exists under that name), gives it the
// permission bits `mode` when set, writes all of `bytes`, flushes it to disk and closes it.
Result<void, std::error_code> write_new_file(const std::filesystem::path& path,
                                             std::string_view bytes,
                                             std::optional<std::uint32_t> mode);

// Flushes the folder `dir` to disk, so that a rename in it is durable; failures are ignored.
void sync_folder(const std::filesystem::path& dir);

// --- process ------------------------------------------------------------------------------

// The current process id.
std::uint64_t process_id();

// The whole process environment; nullopt-valued entries are never produced. Fails with a
// message when a name or value is not valid UTF-8.
Result<EnvSnapshot> capture_environment();

}  // namespace kelvaro

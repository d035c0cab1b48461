#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "result.hpp"
#include "utf8.hpp"

// The seam to the operating system, plus the path and text helpers every module shares (the
// UTF-8 checks of utf8.hpp come with them). Only the platform halves (fsutil_posix.cpp,
// fsutil_windows.cpp) include system headers.
namespace kelvaro {

// --- text ---------------------------------------------------------------------------------

// The length in bytes of the Unicode White_Space character `text` begins with; 0 when it
// begins with anything else.
std::size_t white_space_length(std::string_view text);
// `text` without the Unicode White_Space characters (ASCII blanks, U+0085, U+00A0, U+3000 and
// the rest) at both ends, at its end, or at its start. Bytes that are not UTF-8 stop trimming.
std::string_view trim_space(std::string_view text);
std::string_view trim_space_end(std::string_view text);
std::string_view trim_space_start(std::string_view text);
// `text` with each control character (C0, DEL and C1) shown as a visible escape ("\\x1b",
// "\\u009b"), so that a name printed on a terminal cannot drive it. For text that is printed,
// never for names written to disk.
std::string visible_text(std::string_view text);
// A path as text for messages and names: its bytes, invalid UTF-8 replaced by U+FFFD (on
// Windows its UTF-16, a lone surrogate replaced), control characters escaped as by
// `visible_text`. Separators are shown as the path holds them. Only for printing: names on
// disk keep their bytes.
std::string display(const std::filesystem::path& path);
// A path as text for names and matching: like `display`, but control characters stay as they
// are, so that the text names the same entry.
std::string path_text(const std::filesystem::path& path);

// The one conversion from text to paths: `text` is UTF-8 (on Windows decoded to UTF-16, where
// `std::filesystem::path(std::string)` would take it byte by byte). Use it, never the path's
// own constructor, for every name that may hold more than ASCII.
std::filesystem::path path_from_utf8(std::string_view text);
// `path` as UTF-8 text without loss, so that `path_from_utf8` gives it back: its bytes on
// POSIX; on Windows its UTF-16 converted, a lone surrogate kept in a form `is_valid_utf8`
// refuses (where `path.string()` would throw).
std::string path_to_utf8(const std::filesystem::path& path);

// True when `text` is an absolute path by the platform's rule: on POSIX it begins with "/";
// on Windows it has a drive or share prefix and a root ("C:\x", "\\srv\share\x").
bool is_absolute_path(std::string_view text);

// `path` as UTF-8 text (as `path_to_utf8`) with "/" between its components on every system.
std::string path_to_generic_utf8(const std::filesystem::path& path);

// --- lexical paths (never touch the file system) -------------------------------------------

// Drops "." components; a ".." removes the component before it (kept when there is none).
std::filesystem::path normalize_path(const std::filesystem::path& path);
// A link's stored `target` resolved against the folder of `link`, normalised.
std::filesystem::path resolve_link_target(const std::filesystem::path& link,
                                          const std::filesystem::path& target);
// `path` as text without the leading components of `base` when it lies under `base` (compared
// component by component, no normalising); the whole path when it lies elsewhere.
std::string display_under(const std::filesystem::path& path, const std::filesystem::path& base);

// The components of `path` without the empty one a trailing separator leaves, so "a/b/" and
// "a/b" give the same list.
std::vector<std::filesystem::path> path_components(const std::filesystem::path& path);
// True when `a` and `b` have the same `path_components`.
bool same_components(const std::filesystem::path& a, const std::filesystem::path& b);
// True when `parts` begins with every component of `prefix`.
bool starts_with_components(const std::vector<std::filesystem::path>& parts,
                            const std::vector<std::filesystem::path>& prefix);

// `path` made absolute against the current folder (left as it is when the current folder
// cannot be read), then normalised. A relative Commons or home must pass through this before
// it is compared with a resolved link target or used to compute one.
std::filesystem::path absolute_normal_path(const std::filesystem::path& path);

// True when normalised `path`, compared component by component, begins with every component
// of normalised `dir` (`dir` itself included). Both are anchored first when relative.
bool lies_within(const std::filesystem::path& path, const std::filesystem::path& dir);

// The text to store in a link placed in `from_dir` so that it reaches `to`, computed on the
// normalised paths without touching the file system; "." for the folder itself. When exactly
// one of them is absolute, the normalised `to`.
std::filesystem::path relative_path(const std::filesystem::path& from_dir,
                                    const std::filesystem::path& to);
// `relative_path` from the normalised folder `from`, given also as its `path_components` (a
// caller that relates many paths to one folder splits it once), to the normalised `to`.
std::filesystem::path relative_path_between(const std::filesystem::path& from,
                                            const std::vector<std::filesystem::path>& from_parts,
                                            const std::filesystem::path& to);

// --- files --------------------------------------------------------------------------------

// Gives back memory that the platform half took from the system for a large file's bytes;
// `size` is what was taken.
struct PageRelease {
  std::size_t size = 0;
  void operator()(char* pages) const noexcept;
};

// Memory of a large file's bytes, owned.
using FilePages = std::unique_ptr<char, PageRelease>;

// The bytes of a file as read: a view of them and what holds them (a string for a small file,
// memory of its own for a large one). Move-only, so that a settings file of many megabytes is
// handed on and never copied by accident.
class FileText {
 public:
  FileText() = default;
  explicit FileText(std::string bytes) : small_(std::move(bytes)) {}
  // The first `size` bytes of `pages`.
  FileText(FilePages pages, std::size_t size) : pages_(std::move(pages)), size_(size) {}
  FileText(FileText&&) noexcept = default;
  FileText& operator=(FileText&&) noexcept = default;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText() = default;

  std::string_view view() const {
    return pages_ ? std::string_view(pages_.get(), size_) : std::string_view(small_);
  }
  // Implicit: a file's text is read wherever a view of text is.
  operator std::string_view() const { return view(); }
  const char* data() const { return view().data(); }
  std::size_t size() const { return view().size(); }
  bool empty() const { return size() == 0; }

  // The bytes as a string of their own: a small file's are moved out, a large one's copied, so
  // that only callers that edit a small text (an instructions file, a TOML file) ask for it.
  std::string take_string() && { return pages_ ? std::string(view()) : std::move(small_); }

  friend bool operator==(const FileText& a, const FileText& b) { return a.view() == b.view(); }
  friend bool operator==(const FileText& a, std::string_view b) { return a.view() == b; }

 private:
  std::string small_;
  FilePages pages_;
  std::size_t size_ = 0;
};

// Reads the whole regular file at `path` (links followed). Anything else is refused without
// waiting on it: a folder with `is_a_directory`, a FIFO, socket or device with
// `not_a_regular_file()`. A file that tells its size must end there: one cut short or grown
// while it is read fails with `changed_while_read()` rather than give bytes it never held
// together; one that tells no size (as in /proc) is read to its end.
Result<FileText, std::error_code> read_file(const std::filesystem::path& path);

// The error of reading something that is not a regular file; its text is "not a regular file".
std::error_code not_a_regular_file();

// The error of a file whose size changed while it was read; its text is "changed while it was
// read".
std::error_code changed_while_read();

// Reads the whole file at `path` as text: fails as `read_file` does, and with
// `std::errc::illegal_byte_sequence` when its bytes are not valid UTF-8.
Result<FileText, std::error_code> read_text_file(const std::filesystem::path& path);

// The bytes of a file handed over in pieces, so that a large file need not be held whole: the
// source calls `put` with each piece in order and stops early when `put` returns false (the
// write failed). It returns false when it gives up, and the write then fails with
// `std::errc::operation_canceled`. It may be run more than once, and hands over all the bytes
// each time.
using ByteSource = std::function<bool(const std::function<bool(std::string_view)>& put)>;

// The result of `write_atomic`: the path actually written and a permission mode (never set).
struct WriteOutcome {
  std::filesystem::path path;
  std::optional<std::uint32_t> mode;

  bool operator==(const WriteOutcome&) const = default;
};

// The permission bits of a file kelvaro creates, unless its writer says it is meant for other
// readers too: its owner's alone. Agents keep resolved secrets in their settings files, and
// whichever section creates such a file first, servers may land in it later.
inline constexpr std::uint32_t private_file_mode = 0600;
// The bits of a new file meant for other readers too (rendered command files, instructions):
// the system's default, which the umask narrows.
inline constexpr std::uint32_t shared_file_mode = 0666;

// Writes `bytes` to `path` through a temporary file ".{name}.kelvaro-{pid}" in the same folder
// and one rename; a symbolic link at `path` is followed and its target written. Creates
// missing folders. A replaced file keeps its permission bits; a new one gets `new_file_mode`
// (`private_file_mode` when unset) less the umask. The temporary file is created with those
// bits, so that at no moment is the new text more open than the file it replaces. Before it
// writes, it removes what dead runs left beside the destination under its temporary names
// (`remove_dead_leftovers`). Fails with the system error of the failing step and leaves no
// temporary file. The file is flushed before the rename, so it is never seen torn; the folder
// that holds the rename is only recorded for `flush_written_folders`.
Result<WriteOutcome, std::error_code> write_atomic(
    const std::filesystem::path& path, std::string_view bytes,
    std::optional<std::uint32_t> new_file_mode = std::nullopt);

// As `write_atomic`, with the bytes that `source` hands over.
Result<WriteOutcome, std::error_code> write_atomic_from(
    const std::filesystem::path& path, const ByteSource& source,
    std::optional<std::uint32_t> new_file_mode = std::nullopt);

// The process id in `entry` when it is a name kelvaro gives a temporary file, staging copy or
// set-aside copy of `name` in `name`'s folder: ".{name}.kelvaro-{pid}", or ".kelvaro-{pid}",
// which a name near the length limit takes instead.
std::optional<std::uint64_t> leftover_process(std::string_view entry, std::string_view name);

// Removes what runs that died left beside `path` under kelvaro's names for it (see
// `leftover_process`), a whole folder included: the names of a process that no longer runs,
// and those of this process's own id, since this run has made none yet (a run that died in
// another pid namespace, a container's entry point, had the same id). Failures are ignored:
// a leftover that stays only costs space, and a name this run is about to use is checked
// again when it is taken.
void remove_dead_leftovers(const std::filesystem::path& path);

// The folders `write_atomic` renamed files into since the last `flush_written_folders`, each
// once, in the order of their first rename.
const std::vector<std::filesystem::path>& folders_to_flush();

// Flushes each folder of `folders_to_flush` to disk once (its renames become durable) and
// forgets them. A command that wrote calls it before its summary line, and `run` after every
// command.
void flush_written_folders();

// Creates the folder that holds `path`, with every missing parent; nothing to do when `path`
// has no parent part.
Result<void, std::error_code> create_parent_folders(const std::filesystem::path& path);

// True when `path` itself (not followed) is a link: `path_kind` without following says `link`.
bool is_link(const std::filesystem::path& path);

// `error` from `create_link`, made to say how to get the privilege when Windows refused the
// link for the lack of it (error 1314); any other error is returned unchanged.
std::error_code explain_link_error(const std::error_code& error);

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

// Opens `path` (created when missing, never truncated) and holds it exclusively, without
// waiting. Where the platform allows it the open needs only read access, so that a lock file
// left by another user (a run as root) does not lock its owner out. When another opener holds it,
// fails with `std::errc::operation_would_block`; any other failure is the system error.
Result<FileHandle, std::error_code> open_exclusive(const std::filesystem::path& path);

// Creates `path` as a new file (fails when anything exists under that name), with exactly the
// permission bits `mode` when set (else 0666 less the umask), writes all of `bytes`, flushes it
// to disk and closes it. The file is created with those bits: it is never more open than them.
Result<void, std::error_code> write_new_file(const std::filesystem::path& path,
                                             std::string_view bytes,
                                             std::optional<std::uint32_t> mode);

// Flushes the folder `dir` to disk, so that a rename in it is durable; failures are ignored.
void sync_folder(const std::filesystem::path& dir);

// What is at a path.
enum class PathKind : std::uint8_t { absent, file, folder, link, other };

// The kind of what is at `path`: with `follow`, links are followed (a dangling link fails);
// without, a link is `link` (on Windows: a reparse point whose tag is a name surrogate, so a
// symbolic link or a junction). Fails with the system error; `no_such_file_or_directory` when
// nothing is there.
Result<PathKind, std::error_code> path_kind(const std::filesystem::path& path, bool follow);

// Shorthands over `path_kind` with links followed; any error counts as false.
bool is_folder(const std::filesystem::path& path);
bool is_regular_file(const std::filesystem::path& path);
bool path_exists(const std::filesystem::path& path);

// The text stored in the symbolic link at `path`, read in one system call. Fails with
// `no_such_file_or_directory` when nothing is there and `invalid_argument` when `path` is not
// a link.
Result<std::filesystem::path, std::error_code> read_link_text(const std::filesystem::path& path);

// True when the symbolic link at `path` (its native text) holds exactly `expected`, as
// `read_link_text` would give it; false when it holds anything else. Builds no path object and
// allocates nothing for ordinary texts: planning asks this of every link in every agent folder.
// Fails as `read_link_text` does.
Result<bool, std::error_code> link_holds(
    const std::filesystem::path::string_type& path,
    std::basic_string_view<std::filesystem::path::value_type> expected);

// Creates a symbolic link at `link` holding `target`; a folder link when `target_is_dir`.
Result<void, std::error_code> create_link(const std::filesystem::path& target,
                                          const std::filesystem::path& link, bool target_is_dir);

// `create_link` of the kind `target` has: where folder links and file links differ (Windows),
// what `target` reaches from the link's folder is looked up first; POSIX links carry no kind,
// so nothing is looked up there.
Result<void, std::error_code> create_link_like_target(const std::filesystem::path& target,
                                                      const std::filesystem::path& link);

// The permission bits of the regular file at `path` (links followed); nullopt when there is
// none, or on a system whose files have no such bits.
std::optional<std::uint32_t> permission_bits(const std::filesystem::path& path);

// True when `a` and `b`, links followed, are the same file (same device and file number).
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);

// The names of the entries of the folder `dir`, each one path component, in listing order
// ("." and ".." left out). Fails with the system error when the folder cannot be listed or
// the listing breaks off, `no_such_file_or_directory` included. The primitive under
// `list_folder`, for a caller that needs only the names.
Result<std::vector<std::filesystem::path>, std::error_code> list_folder_names(
    const std::filesystem::path& dir);

// What `list_folder` answers for a folder that is not there (a dangling link included).
enum class MissingFolder : std::uint8_t {
  empty,  // an empty list: there is nothing in it
  error,  // `no_such_file_or_directory`, for a folder that must be there
};

// The entries of the folder `dir` as full paths (`dir` joined with each name), in listing
// order; a missing folder as `missing` says. Every other failure (not a folder, no access, a
// listing that breaks off) is the system error, so that a folder that cannot be read never
// passes for an empty one.
Result<std::vector<std::filesystem::path>, std::error_code> list_folder(
    const std::filesystem::path& dir, MissingFolder missing = MissingFolder::empty);

// Creates the folder `dir` with every missing parent; an existing folder is success.
Result<void, std::error_code> create_folders(const std::filesystem::path& dir);

// Removes a file, or a link to a file, at `path` (never what a link points to).
Result<void, std::error_code> remove_file(const std::filesystem::path& path);

// Removes what is at `path` without following it: a file, a link (whether it leads to a file
// or a folder, or nowhere) or an empty folder.
Result<void, std::error_code> remove_entry(const std::filesystem::path& path);

// Removes `path` and, when it is a real folder, everything in it; links are removed, never
// followed.
Result<void, std::error_code> remove_tree(const std::filesystem::path& path);

// Renames `from` to `to`, replacing a file at `to`.
Result<void, std::error_code> rename_path(const std::filesystem::path& from,
                                          const std::filesystem::path& to);

// Renames `from` to `to` only while nothing exists under `to`; fails with `file_exists`
// otherwise, and with `cross_device_link` when the two lie on different file systems.
Result<void, std::error_code> rename_new_path(const std::filesystem::path& from,
                                              const std::filesystem::path& to);

// Copies the file `from` (links followed) to the new file `to`.
Result<void, std::error_code> copy_file(const std::filesystem::path& from,
                                        const std::filesystem::path& to);

// `path` with every link followed and made absolute; fails when it cannot be reached.
Result<std::filesystem::path, std::error_code> canonical_path(const std::filesystem::path& path);

// The current folder of the process.
Result<std::filesystem::path, std::error_code> current_folder();

// `path` made absolute against the current folder and normalised the way the system resolves
// it when it opens it, so that the result names the folder the system reaches. On POSIX a ".."
// steps out of the folder its prefix really is, which a link may have taken elsewhere; where
// that prefix cannot be reached, the ".." is kept, as the system cannot step out of it either.
// Links not followed by ".." stay as written. Windows removes ".." by text before it follows
// any link, so there this is `absolute_normal_path`.
std::filesystem::path reached_path(const std::filesystem::path& path);

// --- process ------------------------------------------------------------------------------

// The process environment, captured once at start. Names compare byte for byte, so case
// matters. `std::less<>` lets lookups take a `std::string_view`.
using EnvSnapshot = std::map<std::string, std::string, std::less<>>;

// The current process id.
std::uint64_t process_id();

// False only when no process with the id `pid` runs (it ended, or never was); a process of
// another user counts as running, and so does an id the system cannot judge.
bool process_running(std::uint64_t pid);

// Opens each of the standard descriptors 0, 1 and 2 that is closed on the null device, so that
// no file the program opens later takes its place and receives report lines. Call it first.
void open_standard_streams();

// Makes a write to a pipe whose reader has gone fail instead of ending the process.
void ignore_broken_pipes();

// Flushes `out`, which writes to standard output, and returns why it could not be written
// whole; no error when it was, or when only its reader has gone (a closed pipe, `| head`),
// since a reader may stop reading early.
std::error_code finish_standard_output(std::ostream& out);

// The whole process environment; nullopt-valued entries are never produced. Fails with a
// message when a name or value is not valid UTF-8.
Result<EnvSnapshot> capture_environment();

// The program's arguments (`argc`, `argv` as `main` received them) as UTF-8 text. On Windows
// they are read again from the UTF-16 command line, since `argv` there is in the ANSI code
// page; what is not valid Unicode stays not valid UTF-8, for the dispatcher to refuse.
std::vector<std::string> capture_arguments(int argc, char** argv);

// Makes standard output and error pass the program's bytes unchanged (on Windows: binary
// mode, so that a line ends in "\n" and not "\r\n").
void prepare_standard_streams();

// --- text of names, without path objects ---------------------------------------------------

// A path's native text (bytes on POSIX, UTF-16 on Windows). Planning holds names and links by
// the ten thousand, and a path object splits its text into components, each allocated, that
// most of them never need; a caller that does builds the path from the text.
using PathText = std::filesystem::path::string_type;

// The native text `path_from_utf8(text)` holds, without building the path: for names compared
// or joined by the thousand, where splitting each into components would be wasted.
std::filesystem::path::string_type native_text_from_utf8(std::string_view text);

// `create_link_like_target` given the link's and the target's native texts (as a path's
// `native()` holds them): on POSIX one system call, with no path object built for either.
Result<void, std::error_code> create_link_text_like_target(
    const std::filesystem::path::string_type& target,
    const std::filesystem::path::string_type& link);

// One entry of a folder as listed: its name (one path component) and, where the listing itself
// tells it, its kind as `path_kind` without following would give it.
struct ListedEntry {
  std::filesystem::path name;
  std::optional<PathKind> kind;  // nullopt where the listing does not tell
};

// `list_folder_names` with each entry's kind where the listing carries it, so that a caller
// judging thousands of entries reads the attributes only of those the listing leaves unknown.
// Fails as `list_folder_names` does.
Result<std::vector<ListedEntry>, std::error_code> list_folder_entries(
    const std::filesystem::path& dir);

}  // namespace kelvaro

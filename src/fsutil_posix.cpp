#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "fsutil.hpp"
#include "fsutil_internal.hpp"

extern char** environ;

namespace kelvaro {

namespace {

std::error_code last_error() {
  return {errno, std::system_category()};
}

// The outcome of a call that returns 0 on success and sets errno otherwise.
Result<void, std::error_code> zero_or_error(int rc) {
  if (rc != 0) {
    return unexpected(last_error());
  }
  return {};
}

int fd_of(std::intptr_t native) {
  return static_cast<int>(native);
}

// Writes all of `bytes` to `fd`, repeating interrupted and partial writes.
Result<void, std::error_code> write_all(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return unexpected(last_error());
    }
    if (n == 0) {
      return unexpected(std::make_error_code(std::errc::io_error));
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return {};
}

}  // namespace

void FileHandle::close() noexcept {
  if (native_ != kClosed) {
    ::close(fd_of(native_));
    native_ = kClosed;
  }
}

Result<FileHandle, std::error_code> open_exclusive(const std::filesystem::path& path) {
  // flock needs no write access: a lock file that a run as root created stays usable.
  int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return unexpected(last_error());
  }
  FileHandle handle(fd);
  // flock, not fcntl locks: those would be dropped when any other descriptor of the file in
  // this process is closed.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    if (errno == EWOULDBLOCK) {
      return unexpected(std::make_error_code(std::errc::operation_would_block));
    }
    return unexpected(last_error());
  }
  return handle;
}

Result<void, std::error_code> write_new_file_from(const std::filesystem::path& path,
                                                  const ByteSource& source, NewFileBits bits) {
  // Created with its bits, not opened wider and narrowed: another user who opened it in
  // between would keep reading what is written after the narrowing.
  const auto mode = static_cast<mode_t>(bits.bits & 07777);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    return unexpected(last_error());
  }
  FileHandle handle(fd);
  if (bits.exact) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      return unexpected(last_error());
    }
    // Only what the umask took away is given back: the file widens to `mode`, never beyond.
    if ((st.st_mode & 07777) != mode && ::fchmod(fd, mode) != 0) {
      return unexpected(last_error());
    }
  }
  Result<void, std::error_code> written;
  const bool whole = source([&](std::string_view piece) {
    written = write_all(fd, piece);
    return written.has_value();
  });
  if (!written) {
    return written;
  }
  if (!whole) {
    return unexpected(std::make_error_code(std::errc::operation_canceled));
  }
  if (::fsync(fd) != 0) {
    return unexpected(last_error());
  }
  // Closing reports late write errors on some file systems (NFS).
  handle = FileHandle();
  return {};
}

void copy_owner(const std::filesystem::path& from, const std::filesystem::path& to) {
  struct stat original {};
  struct stat replacement {};
  if (::stat(from.c_str(), &original) != 0 || ::stat(to.c_str(), &replacement) != 0) {
    return;
  }
  if (original.st_uid != replacement.st_uid || original.st_gid != replacement.st_gid) {
    static_cast<void>(::chown(to.c_str(), original.st_uid, original.st_gid));
  }
}

void sync_folder(const std::filesystem::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  ::fsync(fd);
  ::close(fd);
}

namespace {

// From this size up a file is read into memory of its own: a string would be zero-filled page by
// page first, which costs a large settings file more than reading it.
constexpr std::size_t large_file_size = std::size_t{4} << 20;

// The size of the pages that back a large file's bytes where the system offers them.
constexpr std::size_t huge_page_size = std::size_t{2} << 20;

// The pages of the last large file let go, kept for the next one: a sync reads a settings file
// once to plan and again to write it, and pages filled once need neither faults nor clearing by
// the system a second time. The process has one thread.
struct SparePages {
  char* base = nullptr;
  std::size_t size = 0;
};

SparePages& spare_pages() {
  static SparePages spare;
  return spare;
}

// At least `size` bytes of anonymous memory, starting on a huge-page boundary and asked to be
// backed by huge pages, so that reading into it takes a few faults instead of one per 4 KiB;
// empty when the system has none to give.
FilePages map_pages(std::size_t size) {
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t length = (size + page - 1) / page * page;
  SparePages& spare = spare_pages();
  if (spare.base != nullptr) {
    const SparePages taken = std::exchange(spare, SparePages{});
    if (taken.size >= length) {
      return FilePages(taken.base, PageRelease{taken.size});
    }
    ::munmap(taken.base, taken.size);
  }
  // Over-asked by one huge page, so that an aligned start lies within; the rest is given back.
  void* mapped = ::mmap(nullptr, length + huge_page_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    return FilePages();
  }
  auto* base = static_cast<char*>(mapped);
  const auto address = reinterpret_cast<std::uintptr_t>(base);
  const std::size_t head = (huge_page_size - address % huge_page_size) % huge_page_size;
  if (head > 0) {
    ::munmap(base, head);
  }
  ::munmap(base + head + length, huge_page_size - head);
  // Without transparent huge pages the memory is still good, only slower to fill.
  ::madvise(base + head, length, MADV_HUGEPAGE);
  return FilePages(base + head, PageRelease{length});
}

// Memory to read a file into: a string, zero-filled, for a small file or one that tells no
// size; pages of its own for a large one.
class ReadBuffer {
 public:
  explicit ReadBuffer(std::size_t size) {
    if (size > large_file_size) {
      pages_ = map_pages(size);
    }
    if (!pages_) {
      text_.resize(size);
    }
    capacity_ = size;
  }

  char* data() { return pages_ ? pages_.get() : text_.data(); }
  std::size_t capacity() const { return capacity_; }

  // Room for more of a file that told no size; pages are only taken for one that did.
  void grow() {
    text_.resize(text_.size() * 2);
    capacity_ = text_.size();
  }

  FileText take(std::size_t size) && {
    if (pages_) {
      return FileText(std::move(pages_), size);
    }
    text_.resize(size);
    return FileText(std::move(text_));
  }

 private:
  FilePages pages_;
  std::string text_;
  std::size_t capacity_ = 0;
};

}  // namespace

void PageRelease::operator()(char* pages) const noexcept {
  SparePages& spare = spare_pages();
  if (spare.base == nullptr) {
    spare = SparePages{.base = pages, .size = size};
    return;
  }
  ::munmap(pages, size);
}

Result<FileText, std::error_code> read_file(const std::filesystem::path& path) {
  // Opening a FIFO for reading would wait for a writer, with the lock held; without blocking
  // the open returns at once and the kind is checked on the open file.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return unexpected(last_error());
  }
  FileHandle handle(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    return unexpected(last_error());
  }
  if (S_ISDIR(st.st_mode)) {
    return unexpected(std::make_error_code(std::errc::is_a_directory));
  }
  if (!S_ISREG(st.st_mode)) {
    return unexpected(not_a_regular_file());
  }
  // Sized once from the file's size, so a large settings file is read into its final place
  // without a doubling buffer. The one byte more tells a file that grew from one that did not.
  const auto told = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
  ReadBuffer buffer(told + 1);
  std::size_t got = 0;
  for (;;) {
    if (got == buffer.capacity()) {
      if (told > 0) {
        return unexpected(changed_while_read());
      }
      buffer.grow();
    }
    const std::size_t asked = buffer.capacity() - got;
    ssize_t n = ::read(fd, buffer.data() + got, asked);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return unexpected(last_error());
    }
    got += static_cast<std::size_t>(n);
    // A regular file reads short only at its end: once the size it had is read, a short read
    // ends it without asking again. A file that tells no size (as in /proc) is read to a 0.
    const bool whole = told > 0 && got == told && static_cast<std::size_t>(n) < asked;
    if (n == 0 || whole) {
      // Bytes of a file cut short or grown meanwhile may mix two texts, or end in the middle
      // of one: an agent rewriting its file in place must not have half of it written back.
      if (told > 0 && got != told) {
        return unexpected(changed_while_read());
      }
      return std::move(buffer).take(got);
    }
  }
}

std::uint64_t process_id() {
  return static_cast<std::uint64_t>(::getpid());
}

bool process_running(std::uint64_t pid) {
  // 0 and ids past pid_t name no single process: kill would signal a group, or another id.
  if (pid == 0 || pid > static_cast<std::uint64_t>(std::numeric_limits<pid_t>::max())) {
    return true;
  }
  // Signal 0 only asks: a process of another user answers EPERM, and it runs.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
      continue;
    }
    // The lowest free descriptor is `fd` itself, since the ones below it are open by now.
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

void ignore_broken_pipes() {
  ::signal(SIGPIPE, SIG_IGN);
}

bool standard_output_reader_gone(int error) {
  // A failure met earlier leaves no trace in errno; a pipe without reader says so itself.
  struct pollfd pipe_end {};
  pipe_end.fd = STDOUT_FILENO;
  pipe_end.events = POLLOUT;
  return error == EPIPE || (::poll(&pipe_end, 1, 0) > 0 && (pipe_end.revents & POLLERR) != 0);
}

Result<EnvSnapshot> capture_environment() {
  std::vector<std::pair<std::string, std::string>> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    // A name never holds "="; an entry without one is a name with an empty value.
    auto eq = text.find('=');
    std::string_view value = eq == std::string_view::npos ? "" : text.substr(eq + 1);
    entries.emplace_back(text.substr(0, eq), value);
  }
  return environment_from_entries(entries);
}

std::vector<std::string> capture_arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void prepare_standard_streams() {}

Result<std::filesystem::path, std::error_code> read_link_text(const std::filesystem::path& path) {
  // Unlike std::filesystem::read_symlink, no attribute read first: planning asks this of every
  // link in every agent folder.
  std::string buffer(256, '\0');
  while (true) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      return unexpected(std::error_code(errno, std::generic_category()));
    }
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return std::filesystem::path(std::move(buffer));
    }
    buffer.resize(buffer.size() * 2);
  }
}

Result<bool, std::error_code> link_holds(
    const std::filesystem::path::string_type& path,
    std::basic_string_view<std::filesystem::path::value_type> expected) {
  // One byte more than `expected` tells a longer text from an equal one.
  std::array<char, 512> small{};
  std::string large;
  char* buffer = small.data();
  std::size_t size = small.size();
  if (expected.size() >= size) {
    large.resize(expected.size() + 1);
    buffer = large.data();
    size = large.size();
  }
  const ssize_t n = ::readlink(path.c_str(), buffer, size);
  if (n < 0) {
    return unexpected(std::error_code(errno, std::generic_category()));
  }
  return static_cast<std::size_t>(n) == expected.size() &&
         std::string_view(buffer, expected.size()) == expected;
}

namespace {

PathKind kind_of_mode(mode_t mode) {
  if (S_ISLNK(mode)) {
    return PathKind::link;
  }
  if (S_ISDIR(mode)) {
    return PathKind::folder;
  }
  if (S_ISREG(mode)) {
    return PathKind::file;
  }
  return PathKind::other;
}

}  // namespace

Result<PathKind, std::error_code> path_kind(const std::filesystem::path& path, bool follow) {
  struct stat st {};
  int rc = follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (rc != 0) {
    return unexpected(last_error());
  }
  return kind_of_mode(st.st_mode);
}

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) {
    return false;
  }
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

namespace {

// Hands `take` each entry of the folder `dir` but "." and "..". A listing that breaks off is
// no listing: callers decide what is absent from it.
template <typename Take>
Result<void, std::error_code> each_folder_entry(const std::filesystem::path& dir, Take&& take) {
  DIR* stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    return unexpected(last_error());
  }
  const std::unique_ptr<DIR, int (*)(DIR*)> closer(stream, ::closedir);
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      return errno != 0 ? unexpected(last_error()) : Result<void, std::error_code>();
    }
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") {
      take(name, *entry);
    }
  }
}

}  // namespace

Result<std::vector<std::filesystem::path>, std::error_code> list_folder_names(
    const std::filesystem::path& dir) {
  std::vector<std::filesystem::path> entries;
  auto listed = each_folder_entry(
      dir, [&](std::string_view name, const dirent&) { entries.emplace_back(name); });
  if (!listed) {
    return unexpected(listed.error());
  }
  return entries;
}

Result<void, std::error_code> create_folders(const std::filesystem::path& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    return unexpected(ec);
  }
  return {};
}

namespace {

// The folder the last link was made in, held open: a first sync makes thousands of links a few
// folders at a time, and making each relative to its open folder spares the system walking
// the whole path again. It is let go whenever this process renames or removes anything, so
// that it never stands for a folder that has moved since; a folder that cannot be opened is
// never held, so its error comes from the link call itself.
class HeldLinkFolder {
 public:
  HeldLinkFolder() = default;
  HeldLinkFolder(const HeldLinkFolder&) = delete;
  HeldLinkFolder& operator=(const HeldLinkFolder&) = delete;
  ~HeldLinkFolder() { forget(); }

  // The open folder `text`, or -1.
  int open(std::string_view text) {
    if (fd_ >= 0 && text == text_) {
      return fd_;
    }
    forget();
    const std::string folder(text);
    fd_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd_ >= 0) {
      text_ = folder;
    }
    return fd_;
  }

  void forget() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = -1;
    text_.clear();
  }

 private:
  int fd_ = -1;
  std::string text_;
};

HeldLinkFolder& link_folder() {
  static HeldLinkFolder folder;
  return folder;
}

}  // namespace

Result<void, std::error_code> remove_file(const std::filesystem::path& path) {
  link_folder().forget();
  return zero_or_error(::unlink(path.c_str()));
}

Result<void, std::error_code> remove_entry(const std::filesystem::path& path) {
  link_folder().forget();
  // remove(3) unlinks, and falls back to rmdir for a folder.
  return zero_or_error(::remove(path.c_str()));
}

Result<void, std::error_code> remove_tree(const std::filesystem::path& path) {
  link_folder().forget();
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
  if (ec) {
    return unexpected(ec);
  }
  return {};
}

Result<void, std::error_code> rename_path(const std::filesystem::path& from,
                                          const std::filesystem::path& to) {
  link_folder().forget();
  return zero_or_error(::rename(from.c_str(), to.c_str()));
}

Result<void, std::error_code> rename_new_path(const std::filesystem::path& from,
                                              const std::filesystem::path& to) {
  link_folder().forget();
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return {};
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return unexpected(last_error());
  }
  // File systems without the no-replace flag: the check and the rename are two steps, which
  // the process lock keeps other kelvaro runs out of.
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0) {
    return unexpected(std::make_error_code(std::errc::file_exists));
  }
  return rename_path(from, to);
}

Result<void, std::error_code> copy_file(const std::filesystem::path& from,
                                        const std::filesystem::path& to) {
  auto bytes = read_file(from);
  if (!bytes) {
    return unexpected(bytes.error());
  }
  return write_new_file(to, *bytes, permission_bits(from));
}

Result<void, std::error_code> create_link(const std::filesystem::path& target,
                                          const std::filesystem::path& link, bool) {
  // POSIX links carry no kind: a link to a folder is made like any other.
  return zero_or_error(::symlink(target.c_str(), link.c_str()));
}

Result<void, std::error_code> create_link_like_target(const std::filesystem::path& target,
                                                      const std::filesystem::path& link) {
  return create_link(target, link, false);
}

std::optional<std::uint32_t> permission_bits(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(st.st_mode & 07777);
}

Result<std::filesystem::path, std::error_code> canonical_path(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::path result = std::filesystem::canonical(path, ec);
  if (ec) {
    return unexpected(ec);
  }
  return result;
}

Result<std::filesystem::path, std::error_code> current_folder() {
  std::error_code ec;
  std::filesystem::path result = std::filesystem::current_path(ec);
  if (ec) {
    return unexpected(ec);
  }
  return result;
}

std::filesystem::path reached_path(const std::filesystem::path& path) {
  std::filesystem::path absolute = path;
  if (path.is_relative()) {
    if (auto cwd = current_folder()) {
      absolute = *cwd / path;
    }
  }
  std::filesystem::path result = absolute.root_path();
  for (const std::filesystem::path& part : absolute.relative_path()) {
    if (part.empty() || part == ".") {
      continue;
    }
    if (part != "..") {
      result /= part;
      continue;
    }
    auto real = canonical_path(result);
    if (!real || !is_folder(*real)) {
      result /= part;
      continue;
    }
    // The text is kept when dropping its last component by text reaches the same folder.
    std::filesystem::path up = real->parent_path();
    std::filesystem::path lexical = result.has_relative_path() ? result.parent_path() : result;
    auto lexical_real = canonical_path(lexical);
    result = lexical_real && *lexical_real == up ? lexical : up;
  }
  return result;
}

Result<void, std::error_code> create_link_text_like_target(
    const std::filesystem::path::string_type& target,
    const std::filesystem::path::string_type& link) {
  const std::size_t slash = link.rfind('/');
  if (slash != std::string::npos && slash > 0 && slash + 1 < link.size()) {
    const int folder = link_folder().open(std::string_view(link).substr(0, slash));
    if (folder >= 0 && ::symlinkat(target.c_str(), folder, link.c_str() + slash + 1) == 0) {
      return {};
    }
    // A failure is told by the whole path, as if no folder had been held.
    link_folder().forget();
  }
  return zero_or_error(::symlink(target.c_str(), link.c_str()));
}

Result<std::vector<ListedEntry>, std::error_code> list_folder_entries(
    const std::filesystem::path& dir) {
  std::vector<ListedEntry> entries;
  auto listed = each_folder_entry(dir, [&](std::string_view name, const dirent& entry) {
    // `d_type` is what `lstat` would say; some file systems leave it unknown.
    std::optional<PathKind> kind;
    switch (entry.d_type) {
      case DT_DIR:
        kind = PathKind::folder;
        break;
      case DT_REG:
        kind = PathKind::file;
        break;
      case DT_LNK:
        kind = PathKind::link;
        break;
      case DT_UNKNOWN:
        break;
      default:
        kind = PathKind::other;
        break;
    }
    entries.push_back(ListedEntry{.name = std::filesystem::path(name), .kind = kind});
  });
  if (!listed) {
    return unexpected(listed.error());
  }
  return entries;
}

}  // namespace kelvaro

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "fsutil.hpp"

extern char** environ;

namespace kelvaro {

namespace {

std::error_code last_error() {
  return {errno, std::system_category()};
}

int fd_of(std::intptr_t native) {
  return static_cast<int>(native);
}

}  // namespace

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

void FileHandle::close() noexcept {
  if (native_ != kClosed) {
    ::close(fd_of(native_));
    native_ = kClosed;
  }
}

Result<FileHandle, std::error_code> open_exclusive(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
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

Result<void, std::error_code> write_new_file(const std::filesystem::path& path,
                                             std::string_view bytes,
                                             std::optional<std::uint32_t> mode) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    return unexpected(last_error());
  }
  FileHandle handle(fd);
  if (mode && ::fchmod(fd, static_cast<mode_t>(*mode)) != 0) {
    return unexpected(last_error());
  }
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
  if (::fsync(fd) != 0) {
    return unexpected(last_error());
  }
  // Closing reports late write errors on some file systems (NFS).
  handle = FileHandle();
  return {};
}

void sync_folder(const std::filesystem::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return;
  }
  ::fsync(fd);
  ::close(fd);
}

Result<std::string, std::error_code> read_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return unexpected(last_error());
  }
  FileHandle handle(fd);
  std::string text;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return unexpected(last_error());
    }
    if (n == 0) {
      return text;
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

std::uint64_t process_id() {
  return static_cast<std::uint64_t>(::getpid());
}

Result<EnvSnapshot> capture_environment() {
  EnvSnapshot env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string_view text(*entry);
    // A name never holds "="; an entry without one is a name with an empty value.
    auto eq = text.find('=');
    std::string_view name = text.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? "" : text.substr(eq + 1);
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

}  // namespace kelvaro

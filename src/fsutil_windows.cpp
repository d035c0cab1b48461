#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h first: the other system headers build on its types.
// clang-format off
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <winioctl.h>
// clang-format on

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>
#include <vector>

#include "fsutil.hpp"
#include "fsutil_internal.hpp"
#include "winpath.hpp"

// The Windows half of the platform layer: direct Win32 calls, their results handed to the
// decisions in winpath.cpp. std::filesystem is not trusted with links here: libstdc++ on
// Windows neither sees nor makes them.
namespace kelvaro {

namespace fs = std::filesystem;

namespace {

#ifndef SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
constexpr DWORD SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE = 0x2;
#endif

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::error_code last_error() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

HANDLE handle_of(std::intptr_t native) {
  return reinterpret_cast<HANDLE>(native);
}

FileHandle own(HANDLE handle) {
  return FileHandle(reinterpret_cast<std::intptr_t>(handle));
}

std::wstring wide(std::u16string_view text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string utf16(std::wstring_view text) {
  return std::u16string(text.begin(), text.end());
}

// Opens what `path` names for reading its attributes only, following links; folders too.
HANDLE open_followed(const fs::path& path) {
  return ::CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

Result<void, std::error_code> write_all(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) {
      return unexpected(last_error());
    }
    if (written == 0) {
      return unexpected(std::make_error_code(std::errc::io_error));
    }
    bytes.remove_prefix(written);
  }
  return {};
}

// Opens `path` for writing as `disposition` says, writes all the bytes of `source`, then calls
// `finish` (flush, or cut the file at its new end) before the handle is closed.
Result<void, std::error_code> write_opened(const fs::path& path, DWORD disposition,
                                           const ByteSource& source, BOOL(WINAPI* finish)(HANDLE)) {
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, share_all, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return unexpected(last_error());
  }
  FileHandle file = own(handle);
  Result<void, std::error_code> written;
  const bool whole = source([&](std::string_view piece) {
    written = write_all(handle, piece);
    return written.has_value();
  });
  if (!written) {
    return written;
  }
  if (!whole) {
    return unexpected(std::make_error_code(std::errc::operation_canceled));
  }
  if (!finish(handle)) {
    return unexpected(last_error());
  }
  return {};
}

// The reparse tag of `path` itself, read from its folder entry; 0 when there is none.
DWORD reparse_tag(const fs::path& path) {
  WIN32_FIND_DATAW data;
  HANDLE find = ::FindFirstFileW(path.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    return 0;
  }
  ::FindClose(find);
  return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? data.dwReserved0 : 0;
}

PathKind kind_of_attributes(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::folder : PathKind::file;
}

}  // namespace

void FileHandle::close() noexcept {
  if (native_ != kClosed) {
    ::CloseHandle(handle_of(native_));
    native_ = kClosed;
  }
}

Result<FileHandle, std::error_code> open_exclusive(const fs::path& path) {
  // Share mode 0: no other open of the file, by any process, succeeds while this one lasts.
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (::GetLastError() == ERROR_SHARING_VIOLATION) {
      return unexpected(std::make_error_code(std::errc::operation_would_block));
    }
    return unexpected(last_error());
  }
  return own(handle);
}

Result<void, std::error_code> write_new_file_from(const fs::path& path, const ByteSource& source,
                                                  NewFileBits bits) {
  // Windows files have no POSIX permission bits; their access lists are inherited from the
  // folder, as a file renamed over another keeps its own.
  (void)bits;
  return write_opened(path, CREATE_NEW, source, ::FlushFileBuffers);
}

void sync_folder(const fs::path& dir) {
  // Windows refuses to flush a folder opened for reading (access denied); the attempt costs
  // little and does what the system allows.
  HANDLE handle = ::CreateFileW(dir.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return;
  }
  ::FlushFileBuffers(handle);
  ::CloseHandle(handle);
}

void PageRelease::operator()(char* pages) const noexcept {
  // Only the POSIX half reads a large file into pages of its own; this one hands none out.
  static_cast<void>(pages);
}

Result<FileText, std::error_code> read_file(const fs::path& path) {
  HANDLE handle = ::CreateFileW(path.c_str(), GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return unexpected(last_error());
  }
  FileHandle file = own(handle);
  // Sized once from the file's size, so a large settings file is read into its final place
  // without a doubling buffer; the one byte more tells a file that grew from one that did not.
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(handle, &size)) {
    size.QuadPart = 0;  // a device has no size: read it as it comes
  }
  const auto told = static_cast<std::size_t>(std::max<LONGLONG>(size.QuadPart, 0));
  std::string text(told + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == text.size()) {
      if (told > 0) {
        return unexpected(changed_while_read());
      }
      text.resize(text.size() * 2);
    }
    const std::size_t room = std::min<std::size_t>(text.size() - got, 1U << 30);
    DWORD n = 0;
    if (!::ReadFile(handle, text.data() + got, static_cast<DWORD>(room), &n, nullptr)) {
      return unexpected(last_error());
    }
    if (n == 0) {
      // Others may write the file while it is read: one cut short must not pass for whole.
      if (told > 0 && got != told) {
        return unexpected(changed_while_read());
      }
      text.resize(got);
      return FileText(std::move(text));
    }
    got += n;
  }
}

std::uint64_t process_id() {
  return ::GetCurrentProcessId();
}

bool process_running(std::uint64_t pid) {
  if (pid == 0 || pid > 0xFFFFFFFFu) {
    return true;
  }
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) {
    // Windows answers an id that no process holds with "invalid parameter"; any other refusal
    // (access denied) is a process that runs.
    return ::GetLastError() != ERROR_INVALID_PARAMETER;
  }
  // A process that ended stays openable while someone holds a handle to it.
  DWORD code = 0;
  const bool ended = ::GetExitCodeProcess(process, &code) && code != STILL_ACTIVE;
  ::CloseHandle(process);
  return !ended;
}

Result<EnvSnapshot> capture_environment() {
  wchar_t* block = ::GetEnvironmentStringsW();
  if (block == nullptr) {
    return EnvSnapshot{};
  }
  auto entries = read_environment_block(reinterpret_cast<const char16_t*>(block));
  ::FreeEnvironmentStringsW(block);
  return environment_from_entries(entries);
}

std::vector<std::string> capture_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide_args = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide_args == nullptr) {
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) {
    args.push_back(utf16_to_utf8(utf16(wide_args[i])));
  }
  ::LocalFree(wide_args);
  return args;
}

void prepare_standard_streams() {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

Result<fs::path, std::error_code> read_link_text(const fs::path& path) {
  HANDLE handle = ::CreateFileW(path.c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return unexpected(last_error());
  }
  FileHandle file = own(handle);
  std::vector<unsigned char> buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
  DWORD got = 0;
  if (!::DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &got, nullptr)) {
    return unexpected(std::make_error_code(std::errc::invalid_argument));
  }
  auto text = reparse_link_text(std::span<const unsigned char>(buffer.data(), got));
  if (!text) {
    return unexpected(std::make_error_code(std::errc::invalid_argument));
  }
  return fs::path(wide(*text));
}

Result<bool, std::error_code> link_holds(const fs::path::string_type& path,
                                         std::basic_string_view<fs::path::value_type> expected) {
  auto text = read_link_text(fs::path(path));
  if (!text) {
    return unexpected(text.error());
  }
  return text->native() == expected;
}

Result<void, std::error_code> create_link(const fs::path& target, const fs::path& link,
                                          bool target_is_dir) {
  const DWORD kind = target_is_dir ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0;
  bool made = ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                    kind | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  // Windows 10 before 1703 does not know the unprivileged flag and rejects the call.
  if (!made && ::GetLastError() == ERROR_INVALID_PARAMETER) {
    made = ::CreateSymbolicLinkW(link.c_str(), target.c_str(), kind);
  }
  if (!made) {
    return unexpected(last_error());
  }
  // Wine answers success and makes nothing; a change that did not happen is not reported.
  if (::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return unexpected(std::make_error_code(std::errc::function_not_supported));
  }
  return {};
}

Result<void, std::error_code> create_link_like_target(const fs::path& target,
                                                      const fs::path& link) {
  return create_link(target, link, is_folder(resolve_link_target(link, target)));
}

Result<PathKind, std::error_code> path_kind(const fs::path& path, bool follow) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return unexpected(last_error());
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
      !is_link_reparse_point(attributes, reparse_tag(path))) {
    return kind_of_attributes(attributes);
  }
  if (!follow) {
    return PathKind::link;
  }
  HANDLE handle = open_followed(path);
  if (handle == INVALID_HANDLE_VALUE) {
    return unexpected(last_error());
  }
  FileHandle file = own(handle);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(handle, &info)) {
    return unexpected(last_error());
  }
  return kind_of_attributes(info.dwFileAttributes);
}

std::optional<std::uint32_t> permission_bits(const fs::path&) {
  // Windows files have no POSIX permission bits; a new file takes its folder's access list.
  return std::nullopt;
}

bool same_file(const fs::path& a, const fs::path& b) {
  BY_HANDLE_FILE_INFORMATION info[2];
  const fs::path* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    HANDLE handle = open_followed(*paths[i]);
    if (handle == INVALID_HANDLE_VALUE) {
      return false;
    }
    FileHandle file = own(handle);
    if (!::GetFileInformationByHandle(handle, &info[i])) {
      return false;
    }
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

Result<std::vector<fs::path>, std::error_code> list_folder_names(const fs::path& dir) {
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  std::vector<fs::path> names;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    names.push_back(it->path().filename());
  }
  // A listing that breaks off is no listing: callers decide what is absent from it.
  if (ec) {
    return unexpected(ec);
  }
  return names;
}

Result<void, std::error_code> create_folders(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    return unexpected(ec);
  }
  return {};
}

Result<void, std::error_code> remove_file(const fs::path& path) {
  if (!::DeleteFileW(path.c_str())) {
    return unexpected(last_error());
  }
  return {};
}

namespace {

Result<void, std::error_code> remove_folder(const fs::path& path) {
  // A folder link or junction is removed as an empty folder, the link alone.
  if (!::RemoveDirectoryW(path.c_str())) {
    return unexpected(last_error());
  }
  return {};
}

}  // namespace

Result<void, std::error_code> remove_entry(const fs::path& path) {
  // A folder link is removed as the empty folder it looks like; its target is never entered.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return remove_folder(path);
  }
  return remove_file(path);
}

Result<void, std::error_code> remove_tree(const fs::path& path) {
  // std::filesystem::remove_all would follow a folder link here and empty its target.
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
      return {};
    }
    return unexpected(std::error_code(static_cast<int>(code), std::system_category()));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return remove_file(path);
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    auto entries = list_folder(path);
    if (!entries) {
      return unexpected(entries.error());
    }
    for (const fs::path& entry : *entries) {
      auto removed = remove_tree(entry);
      if (!removed) {
        return removed;
      }
    }
  }
  return remove_folder(path);
}

Result<void, std::error_code> rename_path(const fs::path& from, const fs::path& to) {
  if (!::MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return unexpected(last_error());
  }
  return {};
}

Result<void, std::error_code> rename_new_path(const fs::path& from, const fs::path& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists, in one step.
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
    const DWORD code = ::GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
      return unexpected(std::make_error_code(std::errc::file_exists));
    }
    if (code == ERROR_NOT_SAME_DEVICE) {
      return unexpected(std::make_error_code(std::errc::cross_device_link));
    }
    return unexpected(std::error_code(static_cast<int>(code), std::system_category()));
  }
  return {};
}

// Windows has no owner and group bits to carry over: a replaced file takes its folder's access
// list, as any new file does.
void copy_owner(const fs::path&, const fs::path&) {}

// Standard handles that are missing are opened on the null device, so that no file the
// program opens later is taken for one of them.
void open_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::_get_osfhandle(fd) != -1) {
      continue;
    }
    const int null_fd = ::_open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      ::_dup2(null_fd, fd);
      ::_close(null_fd);
    }
  }
}

// Windows has no SIGPIPE: a write to a pipe whose reader has gone already just fails.
void ignore_broken_pipes() {}

bool standard_output_reader_gone(int error) {
  // The C library turns a pipe without reader (ERROR_NO_DATA, ERROR_BROKEN_PIPE) into EPIPE
  // or EINVAL; on a pipe both mean the reader has gone.
  const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
  const bool pipe = handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_PIPE;
  return error == EPIPE || (pipe && (error == EINVAL || error == 0));
}

Result<void, std::error_code> copy_file(const fs::path& from, const fs::path& to) {
  if (!::CopyFileW(from.c_str(), to.c_str(), TRUE)) {
    return unexpected(last_error());
  }
  return {};
}

Result<fs::path, std::error_code> canonical_path(const fs::path& path) {
  HANDLE handle = open_followed(path);
  if (handle == INVALID_HANDLE_VALUE) {
    return unexpected(last_error());
  }
  FileHandle file = own(handle);
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) {
      return unexpected(last_error());
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return fs::path(wide(strip_final_path_prefix(utf16(buffer))));
    }
    buffer.resize(length);
  }
}

Result<fs::path, std::error_code> current_folder() {
  std::error_code ec;
  fs::path result = fs::current_path(ec);
  if (ec) {
    return unexpected(ec);
  }
  return result;
}

// Windows resolves ".." by text before it follows any link (GetFullPathNameW), so the text
// rule names the folder the system reaches.
fs::path reached_path(const fs::path& path) {
  return absolute_normal_path(path);
}

Result<void, std::error_code> create_link_text_like_target(const fs::path::string_type& target,
                                                           const fs::path::string_type& link) {
  // The kind of link Windows needs is looked up through the target's path anyway.
  return create_link_like_target(fs::path(target), fs::path(link));
}

Result<std::vector<ListedEntry>, std::error_code> list_folder_entries(const fs::path& dir) {
  // A link here is a reparse point whose tag needs a call of its own, so kinds are left to
  // `path_kind`.
  auto names = list_folder_names(dir);
  if (!names) {
    return unexpected(names.error());
  }
  std::vector<ListedEntry> entries;
  entries.reserve(names->size());
  for (fs::path& name : *names) {
    entries.push_back(ListedEntry{.name = std::move(name), .kind = std::nullopt});
  }
  return entries;
}

}  // namespace kelvaro

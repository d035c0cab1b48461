// The Windows half of the test support: temporary folders and runs of the built program.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// windows.h before the rest.
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fsutil.hpp"
#include "lock.hpp"
#include "support.hpp"
#include "winpath.hpp"

namespace kelvaro {

namespace fs = std::filesystem;

namespace {

std::wstring wide(std::string_view utf8) {
  std::u16string text = utf8_to_utf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// `arg` quoted so that CommandLineToArgvW gives it back unchanged: backslashes are literal
// except before a quote, where they and the quote are escaped.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return arg;
  }
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(2 * backslashes, L'\\');
  out += L'"';
  return out;
}

std::string read_all(HANDLE pipe) {
  std::string text;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    text.append(buffer, got);
  }
  return text;
}

// The program under test: where the build put it, else beside this test program, so that the
// two can be copied to a Windows machine together.
std::wstring program_path() {
  const std::wstring built = wide(KELVARO_EXE);
  if (::GetFileAttributesW(built.c_str()) != INVALID_FILE_ATTRIBUTES) {
    return built;
  }
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return (fs::path(std::wstring(self, length)).parent_path() / L"kelvaro.exe").wstring();
}

}  // namespace

std::uint64_t ended_process_id() {
  return 0xFFFFFFFEu;
}

fs::path make_temp_folder() {
  static std::atomic<unsigned> counter{0};
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    fs::path candidate = base / ("kelvaro-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                 std::to_string(counter++));
    if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
      return candidate;
    }
    if (::GetLastError() != ERROR_ALREADY_EXISTS) {
      ADD_FAILURE() << "cannot create a temporary folder under " << display(base);
      std::abort();
    }
  }
}

RunResult run_kelvaro(const std::vector<std::string>& args, const EnvSnapshot& env,
                      const fs::path& cwd) {
  const std::wstring exe = program_path();
  std::wstring command_line = quoted(exe);
  for (const std::string& arg : args) {
    command_line += L" " + quoted(wide(arg));
  }
  std::wstring block;
  for (const auto& [name, value] : env) {
    block += wide(name) + L"=" + wide(value);
    block += L'\0';
  }
  block += L'\0';

  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  HANDLE err_read = nullptr;
  HANDLE err_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inherit, 0) ||
      !::CreatePipe(&err_read, &err_write, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
    return {};
  }
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                 OPEN_EXISTING, 0, nullptr);

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_in;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  std::cout.flush();
  std::cerr.flush();
  const BOOL started = ::CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, block.data(),
                                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
  const DWORD start_error = ::GetLastError();
  ::CloseHandle(out_write);
  ::CloseHandle(err_write);
  ::CloseHandle(null_in);
  RunResult result;
  if (!started) {
    ADD_FAILURE() << "cannot start " << display(exe) << ": error " << start_error;
    ::CloseHandle(out_read);
    ::CloseHandle(err_read);
    return result;
  }
  // Both pipes are read at once, so that a child filling one cannot block.
  std::thread err_reader([&] { result.err = read_all(err_read); });
  result.out = read_all(out_read);
  err_reader.join();
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  result.status = static_cast<int>(code);
  ::CloseHandle(process.hThread);
  ::CloseHandle(process.hProcess);
  ::CloseHandle(out_read);
  ::CloseHandle(err_read);
  return result;
}

// Closed and broken standard streams are set up with POSIX descriptors; the tests that need
// them skip themselves on Windows.
RunResult run_kelvaro_with(const std::vector<std::string>& args, const EnvSnapshot& env,
                           OutputEnd out, OutputEnd err) {
  if (out != OutputEnd::captured || err != OutputEnd::captured) {
    ADD_FAILURE() << "only captured output can be set up on Windows";
  }
  return run_kelvaro(args, env, {});
}

namespace {

// The variable's value, or nullopt when it is not set.
std::optional<std::wstring> variable(const wchar_t* name) {
  static wchar_t value[32768];
  const DWORD length = ::GetEnvironmentVariableW(name, value, 32768);
  if (length == 0 || length >= 32768) {
    return std::nullopt;
  }
  return std::wstring(value, length);
}

std::string utf8_of(const std::wstring& text) {
  return utf16_to_utf8(std::u16string(text.begin(), text.end()));
}

// The processes running now (under Wine, those of this prefix).
std::vector<PROCESSENTRY32W> running_processes() {
  std::vector<PROCESSENTRY32W> processes;
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return processes;
  }
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry)) {
    processes.push_back(entry);
  }
  ::CloseHandle(snapshot);
  return processes;
}

// The id of the process that started this one, or 0.
DWORD parent_process_id() {
  for (const auto& process : running_processes()) {
    if (process.th32ProcessID == ::GetCurrentProcessId()) {
      return process.th32ParentProcessID;
    }
  }
  return 0;
}

// True when a `kelvaro.exe` started by the process `parent` is running.
bool kelvaro_started_by(DWORD parent) {
  const auto processes = running_processes();
  return std::any_of(processes.begin(), processes.end(), [&](const PROCESSENTRY32W& process) {
    return process.th32ParentProcessID == parent &&
           ::_wcsicmp(process.szExeFile, L"kelvaro.exe") == 0;
  });
}

// A failed open of the lock leaves nothing another process can see, so the wait itself is out
// of sight here. What can be seen is the command's process: the hold is timed from its start,
// not from the holder's, and a command that never started while the lock was held fails the
// test (exit status 2) instead of passing without the race.
bool wait_for_the_command() {
  const DWORD test_process = parent_process_id();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (test_process != 0 && std::chrono::steady_clock::now() < deadline) {
    if (kelvaro_started_by(test_process)) {
      return true;
    }
    ::Sleep(5);
  }
  return false;
}

// The lock holder's side: this program started with KELVARO_LOCK_HOLDER takes the lock before
// main, says so on its standard output, and waits to be killed, or does its release and ends.
const bool lock_holder_child = [] {
  const auto dir = variable(L"KELVARO_LOCK_HOLDER");
  if (!dir) {
    return false;
  }
  auto lock = acquire_lock(fs::path(*dir), LockTimeout{0});
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), lock ? "y" : "n", 1, &written, nullptr);
  const auto file = variable(L"KELVARO_LOCK_HOLDER_FILE");
  if (!lock || !file) {
    ::Sleep(INFINITE);
  }
  if (!wait_for_the_command()) {
    ::ExitProcess(2);
  }
  const auto after = variable(L"KELVARO_LOCK_HOLDER_MS");
  ::Sleep(after ? static_cast<DWORD>(std::stoul(*after)) : 0);
  const auto bytes = variable(L"KELVARO_LOCK_HOLDER_BYTES");
  const bool done =
      write_atomic(path_from_utf8(utf8_of(*file)), bytes ? utf8_of(*bytes) : std::string())
          .has_value();
  ::ExitProcess(done ? 0 : 1);
  return true;
}();

}  // namespace

LockHolder::LockHolder(const fs::path& state_dir, const std::optional<LockRelease>& release)
    : releases_(release.has_value()) {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr;
  HANDLE out_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe";
    return;
  }
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out_write;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command_line = L"holder";
  ::SetEnvironmentVariableW(L"KELVARO_LOCK_HOLDER", state_dir.c_str());
  if (release) {
    ::SetEnvironmentVariableW(L"KELVARO_LOCK_HOLDER_MS",
                              std::to_wstring(release->after.count()).c_str());
    ::SetEnvironmentVariableW(L"KELVARO_LOCK_HOLDER_FILE",
                              wide(path_to_utf8(release->file)).c_str());
    ::SetEnvironmentVariableW(L"KELVARO_LOCK_HOLDER_BYTES", wide(release->bytes).c_str());
  }
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(self, command_line.data(), nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
  for (const wchar_t* name : {L"KELVARO_LOCK_HOLDER", L"KELVARO_LOCK_HOLDER_MS",
                              L"KELVARO_LOCK_HOLDER_FILE", L"KELVARO_LOCK_HOLDER_BYTES"}) {
    ::SetEnvironmentVariableW(name, nullptr);
  }
  ::CloseHandle(out_write);
  if (!started) {
    ADD_FAILURE() << "cannot start the lock holder: error " << ::GetLastError();
    ::CloseHandle(out_read);
    return;
  }
  process_ = reinterpret_cast<std::intptr_t>(process.hProcess);
  thread_ = reinterpret_cast<std::intptr_t>(process.hThread);
  char byte = 0;
  DWORD got = 0;
  held_ = ::ReadFile(out_read, &byte, 1, &got, nullptr) && got == 1 && byte == 'y';
  ::CloseHandle(out_read);
}

LockHolder::~LockHolder() {
  stop();
}

void LockHolder::stop() {
  if (process_ == 0) {
    return;
  }
  HANDLE process = reinterpret_cast<HANDLE>(process_);
  if (!releases_) {
    ::TerminateProcess(process, 1);
  }
  ::WaitForSingleObject(process, INFINITE);
  DWORD code = 1;
  ::GetExitCodeProcess(process, &code);
  if (releases_ && code == 2) {
    ADD_FAILURE() << "no kelvaro command of this test ran while the lock was held: the race "
                     "was not exercised";
  } else if (releases_ && code != 0) {
    ADD_FAILURE() << "the lock holder could not write its file";
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(thread_));
  ::CloseHandle(process);
  process_ = 0;
  thread_ = 0;
}

}  // namespace kelvaro

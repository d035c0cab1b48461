#include "lock.hpp"

#include <fmt/format.h>

#include <limits>
#include <thread>

namespace kelvaro {

namespace {

constexpr LockTimeout kDefaultTimeout{30'000};
constexpr std::chrono::milliseconds kRetryInterval{20};

std::optional<std::uint64_t> parse_millis(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  for (char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::string to_string(const LockError& error) {
  switch (error.kind) {
    case LockError::Kind::busy:
      return "another kelvaro process is running — try again when it finishes";
    case LockError::Kind::io:
      return fmt::format("cannot take the kelvaro lock: {}", error.error.message());
  }
  return {};
}

LockTimeout lock_timeout(const EnvSnapshot& env) {
  auto text = env_get(env, "KELVARO_LOCK_TIMEOUT_MS");
  if (!text) {
    return kDefaultTimeout;
  }
  auto millis = parse_millis(*text);
  return millis ? LockTimeout{*millis} : kDefaultTimeout;
}

Result<ProcessLock, LockError> acquire_lock(const std::filesystem::path& state_dir,
                                            LockTimeout timeout) {
  auto created = create_folders(state_dir);
  if (!created) {
    return unexpected(LockError{.kind = LockError::Kind::io, .error = created.error()});
  }
  const std::filesystem::path path = state_dir / "lock";
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    auto file = open_exclusive(path);
    if (file) {
      return ProcessLock(std::move(*file));
    }
    if (file.error() != std::errc::operation_would_block) {
      return unexpected(LockError{.kind = LockError::Kind::io, .error = file.error()});
    }
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (static_cast<std::uint64_t>(waited.count()) >= timeout.count()) {
      return unexpected(LockError{.kind = LockError::Kind::busy, .error = {}});
    }
    std::this_thread::sleep_for(kRetryInterval);
  }
}

std::optional<HeldLock> take_lock(const RunContext& ctx, Reporter& reporter) {
  auto taken = acquire_lock(ctx.state_dir, lock_timeout(ctx.env));
  if (!taken) {
    report_error(reporter, to_string(taken.error()));
    return std::nullopt;
  }
  auto config = load_checked_config(ctx.config_dir);
  if (!config) {
    report_error(reporter, config.error());
    return std::nullopt;
  }
  return HeldLock{.lock = std::move(*taken), .config = std::move(*config)};
}

}  // namespace kelvaro

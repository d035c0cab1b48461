#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "config.hpp"
#include "context.hpp"
#include "fsutil.hpp"
#include "report.hpp"
#include "result.hpp"

namespace kelvaro {

// The lock time-out. Unsigned, since any 64-bit count of milliseconds is accepted.
using LockTimeout = std::chrono::duration<std::uint64_t, std::milli>;

// Why the process lock could not be taken.
struct LockError {
  enum class Kind { busy, io };

  Kind kind = Kind::io;
  std::error_code error;  // the system error when `kind` is io

  bool operator==(const LockError&) const = default;
};

// "another kelvaro process is running — try again when it finishes" (busy) or
// "cannot take the kelvaro lock: {system error}" (io).
std::string to_string(const LockError& error);

// Holding the value is holding the lock; dropping it releases the lock. The lock file itself is
// never written, truncated or deleted.
class ProcessLock {
 public:
  explicit ProcessLock(FileHandle file) : file_(std::move(file)) {}

 private:
  FileHandle file_;
};

// The lock time-out from `KELVARO_LOCK_TIMEOUT_MS` in `env`: an optional "+" then decimal
// digits up to 18446744073709551615 milliseconds; absent or anything else gives 30 s.
LockTimeout lock_timeout(const EnvSnapshot& env);

// Creates `state_dir` and takes the exclusive lock on `<state_dir>/lock`, retrying every 20 ms
// while another process holds it until `timeout` has passed (at least one attempt). Fails with
// busy at the time-out, or io at once for any other failure.
Result<ProcessLock, LockError> acquire_lock(const std::filesystem::path& state_dir,
                                            LockTimeout timeout);

// The lock held, with `kelvaro.toml` as it stands once no other run can change it. A command
// that waited plans from this `config`, not from the one read at start-up: the run it waited
// for may have rewritten the file (an allowlist `mcp adopt` recorded, a target set to false).
struct HeldLock {
  ProcessLock lock;
  Config config;
};

// `acquire_lock` in the state folder of `ctx` with the time-out its environment sets, for a
// command about to make its first change, then `kelvaro.toml` read and checked again as at
// start-up. Nullopt after reporting, as an error, the lock's failure or the configuration's
// message (start-up's own texts); nothing has been changed then.
std::optional<HeldLock> take_lock(const RunContext& ctx, Reporter& reporter);

}  // namespace kelvaro

#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3;

namespace qova::server {

// Which public key owns which device ID: the first key that proves itself for an ID keeps it, until the
// device goes unseen long enough to be forgotten. The map in memory is the truth the network thread
// asks; an SQLite database (public keys and last-seen times only) follows it through a writer thread
// of the registry's own, so the network thread never waits for the disk.
class DeviceRegistry {
 public:
  enum class Claim { Known, Registered, Conflict, Full };
  static constexpr std::size_t kMaxDevices = 1'000'000;  // unless the operator chose another cap
  // A known device's last-seen time is written at most this often (seconds): reconnect storms are
  // not writes, and forgetting is a matter of weeks.
  static constexpr std::int64_t kSeenResolution = 24 * 60 * 60;

  using WallClock = std::function<std::int64_t()>;  // seconds since the epoch
  using ErrorHandler = std::function<void(const std::string&)>;
  static std::int64_t systemSeconds();

  // Opens or creates the database at `path` and loads it; a database still empty takes in the
  // `devices.json` beside it once. An empty path, or a database that cannot be opened (reported),
  // keeps everything in memory only. `onError` is called on the writer thread too, at most once per
  // run of failed writes; failed changes stay queued and are tried again.
  // A new ID is Full once `maxDevices` are kept.
  explicit DeviceRegistry(std::string path, ErrorHandler onError = {}, WallClock now = systemSeconds,
                          std::size_t maxDevices = kMaxDevices);
  // Writes what is queued.
  ~DeviceRegistry();
  DeviceRegistry(const DeviceRegistry&) = delete;
  DeviceRegistry& operator=(const DeviceRegistry&) = delete;

  bool knows(const std::string& deviceId) const { return devices_.contains(deviceId); }
  std::size_t size() const { return devices_.size(); }
  // Every device ID with its public key.
  std::vector<std::pair<std::string, std::string>> keys() const;
  // Call only once the key has signed the server's nonce. Known refreshes the last-seen time.
  Claim claim(const std::string& deviceId, std::string_view publicKey);
  // The device is connected now (its key proved earlier).
  void seen(const std::string& deviceId);
  // Forgets devices last seen before `cutoff` (seconds since the epoch), at most `limit` of them so a
  // caller can share its thread; how many.
  std::size_t forgetUnseen(std::int64_t cutoff, std::size_t limit = kMaxDevices);
  // Waits until what is queued now is written or failed; false on failure.
  bool flush();

 private:
  struct Device {
    std::string publicKey;
    std::int64_t lastSeen;
    std::list<const std::string*>::iterator age;  // its place in byAge_
  };
  // A device's newest state not yet on disk: an empty key updates the last-seen time only.
  struct Change {
    std::string publicKey;
    std::int64_t lastSeen;
  };
  static constexpr std::int64_t kNoCutoff = std::numeric_limits<std::int64_t>::min();

  void open();
  void add(std::string deviceId, std::string publicKey, std::int64_t lastSeen);
  void queue(const std::string& deviceId, std::string_view publicKey, std::int64_t lastSeen);
  void writeLoop();
  // The error, empty when written.
  std::string write(const std::unordered_map<std::string, Change>& changes, std::int64_t cutoff);
  void report(const std::string& message);

  std::string path_;
  ErrorHandler onError_;
  WallClock now_;
  std::size_t maxDevices_;
  std::unordered_map<std::string, Device> devices_;
  // The IDs in devices_, least recently seen first: forgetting touches only what it forgets, not the
  // whole registry on the network thread.
  std::list<const std::string*> byAge_;
  sqlite3* db_ = nullptr;

  // Shared with the writer. Changes coalesce by device ID and only devices in memory have one, so
  // the queue never holds more than the registry.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable written_;
  std::unordered_map<std::string, Change> pending_;
  std::int64_t pendingCutoff_ = kNoCutoff;
  std::uint64_t queuedGeneration_ = 0;  // bumped by each change
  std::uint64_t doneGeneration_ = 0;    // what the last attempt covered
  bool lastFailed_ = false;
  bool stopping_ = false;
  std::thread writer_;
};

}  // namespace qova::server

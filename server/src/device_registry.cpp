#include "device_registry.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "protocol.h"

namespace qova::server {

namespace {

// A failed write is tried again after this pause, so a full disk is not a busy loop.
constexpr std::chrono::seconds kRetryPause{1};

struct StatementDeleter {
  void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  return Statement(statement);
}

bool exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

void bindText(sqlite3_stmt* statement, int index, std::string_view text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Runs a bound statement that returns no rows, ready for the next binding.
bool step(sqlite3_stmt* statement) {
  const bool done = sqlite3_step(statement) == SQLITE_DONE;
  sqlite3_reset(statement);
  return done;
}

std::string columnText(sqlite3_stmt* statement, int index) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, index))) : std::string();
}

}  // namespace

std::int64_t DeviceRegistry::systemSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

DeviceRegistry::DeviceRegistry(std::string path, ErrorHandler onError, WallClock now, std::size_t maxDevices)
    : path_(std::move(path)), onError_(std::move(onError)), now_(std::move(now)), maxDevices_(maxDevices) {
  // Not reserved for the cap up front: that costs every small server 16 MB, to save a rehash of some
  // milliseconds the few times a large registry doubles.
  if (path_.empty()) return;
  open();
  if (db_) writer_ = std::thread([this] { writeLoop(); });
}

DeviceRegistry::~DeviceRegistry() {
  if (writer_.joinable()) {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_one();
    writer_.join();
  }
  if (db_) sqlite3_close_v2(db_);
}

void DeviceRegistry::open() {
  const auto fail = [this](const std::string& what) {
    report("device registry " + path_ + ": " + what + (db_ ? std::string(": ") + sqlite3_errmsg(db_) : ""));
    sqlite3_close_v2(db_);
    db_ = nullptr;
  };
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    return fail("cannot open");
  }
  // WAL: a commit appends to the log instead of rewriting pages in place; FULL: each commit is on disk
  // before the next batch is taken, as the writer is the only one who waits for it.
  if (!exec(db_, "PRAGMA journal_mode=WAL") || !exec(db_, "PRAGMA synchronous=FULL") ||
      !exec(db_,
            "CREATE TABLE IF NOT EXISTS devices (id TEXT PRIMARY KEY, public_key TEXT NOT NULL, "
            "last_seen INTEGER NOT NULL) WITHOUT ROWID")) {
    return fail("cannot prepare");
  }
  const auto count = prepare(db_, "SELECT count(*) FROM devices");
  if (!count || sqlite3_step(count.get()) != SQLITE_ROW) return fail("cannot read");
  const auto stored = static_cast<std::size_t>(sqlite3_column_int64(count.get(), 0));

  // What the registry kept before it had a database: taken in whole or not at all, and only once.
  const auto json = std::filesystem::path(path_).parent_path() / "devices.json";
  if (stored == 0 && std::filesystem::exists(json)) {
    std::ifstream in(json);
    const auto file = nlohmann::json::parse(in, nullptr, false);
    const auto devices = file.find("devices");
    if (devices == file.end() || !devices->is_object()) {
      report("device registry " + path_ + ": " + json.string() + " is not a device list, left as it is");
    } else {
      const auto insert = prepare(db_, "INSERT OR IGNORE INTO devices (id, public_key, last_seen) VALUES (?, ?, ?)");
      const auto now = now_();
      bool ok = insert && exec(db_, "BEGIN");
      for (const auto& [id, key] : devices->items()) {
        if (!ok) break;
        if (!isDeviceId(id) || !key.is_string()) continue;
        bindText(insert.get(), 1, id);
        bindText(insert.get(), 2, key.get_ref<const std::string&>());
        sqlite3_bind_int64(insert.get(), 3, now);
        ok = step(insert.get());
      }
      // Closing the database in fail() rolls the transaction back.
      if (!ok || !exec(db_, "COMMIT")) return fail("cannot import " + json.string());
      std::error_code ignored;
      std::filesystem::rename(json, json.string() + ".imported", ignored);
    }
  }

  const auto select = prepare(db_, "SELECT id, public_key, last_seen FROM devices ORDER BY last_seen");
  if (!select) return fail("cannot read");
  int result;
  while ((result = sqlite3_step(select.get())) == SQLITE_ROW) {
    add(columnText(select.get(), 0), columnText(select.get(), 1), sqlite3_column_int64(select.get(), 2));
  }
  if (result != SQLITE_DONE) {
    devices_.clear();
    byAge_.clear();
    return fail("cannot read");
  }
}

DeviceRegistry::Claim DeviceRegistry::claim(const std::string& deviceId, std::string_view publicKey) {
  const auto found = devices_.find(deviceId);
  if (found != devices_.end()) {
    if (found->second.publicKey != publicKey) return Claim::Conflict;
    seen(deviceId);
    return Claim::Known;
  }
  if (devices_.size() >= maxDevices_) return Claim::Full;
  const auto now = now_();
  add(deviceId, std::string(publicKey), now);
  queue(deviceId, publicKey, now);
  return Claim::Registered;
}

std::vector<std::pair<std::string, std::string>> DeviceRegistry::keys() const {
  std::vector<std::pair<std::string, std::string>> all;
  all.reserve(devices_.size());
  for (const auto& [id, device] : devices_) all.emplace_back(id, device.publicKey);
  return all;
}

void DeviceRegistry::add(std::string deviceId, std::string publicKey, std::int64_t lastSeen) {
  const auto [entry, added] = devices_.try_emplace(std::move(deviceId), Device{std::move(publicKey), lastSeen, {}});
  if (added) entry->second.age = byAge_.insert(byAge_.end(), &entry->first);
}

void DeviceRegistry::seen(const std::string& deviceId) {
  const auto found = devices_.find(deviceId);
  if (found == devices_.end()) return;
  const auto now = now_();
  // Memory keeps the time as written, so forgetting removes the same devices here and on disk.
  if (now - found->second.lastSeen < kSeenResolution) return;
  found->second.lastSeen = now;
  byAge_.splice(byAge_.end(), byAge_, found->second.age);
  queue(deviceId, {}, now);
}

std::size_t DeviceRegistry::forgetUnseen(std::int64_t cutoff, std::size_t limit) {
  std::unique_lock<std::mutex> lock;
  if (db_) lock = std::unique_lock(mutex_);
  std::size_t count = 0;
  // Oldest first, so this stops at the first device seen since. Should the wall clock have gone
  // back, a device behind that one waits for a later pass.
  while (!byAge_.empty() && count < limit) {
    const auto found = devices_.find(*byAge_.front());
    if (found->second.lastSeen >= cutoff) break;
    // Its change need not be written: the delete by time removes whatever of it is on disk, since
    // nothing there is newer than what memory had.
    if (db_) pending_.erase(found->first);
    byAge_.pop_front();
    devices_.erase(found);
    ++count;
  }
  if (!db_ || count == 0) return count;
  pendingCutoff_ = std::max(pendingCutoff_, cutoff);
  ++queuedGeneration_;
  lock.unlock();
  wake_.notify_one();
  return count;
}

void DeviceRegistry::queue(const std::string& deviceId, std::string_view publicKey, std::int64_t lastSeen) {
  if (!db_) return;
  {
    const std::lock_guard lock(mutex_);
    auto& change = pending_[deviceId];
    if (!publicKey.empty()) change.publicKey = publicKey;
    change.lastSeen = lastSeen;
    ++queuedGeneration_;
  }
  wake_.notify_one();
}

bool DeviceRegistry::flush() {
  if (!db_) return true;
  std::unique_lock lock(mutex_);
  const auto target = queuedGeneration_;
  written_.wait(lock, [&] { return doneGeneration_ >= target; });
  return !lastFailed_;
}

void DeviceRegistry::writeLoop() {
  std::unique_lock lock(mutex_);
  const auto hasWork = [this] { return !pending_.empty() || pendingCutoff_ != kNoCutoff; };
  // The two maps take turns and keep their buckets: the network thread does not grow a fresh one
  // with every batch.
  std::unordered_map<std::string, Change> changes;
  while (true) {
    wake_.wait(lock, [&] { return stopping_ || hasWork(); });
    if (!hasWork()) return;
    // Whatever came in while the last batch was written goes in this one transaction.
    std::swap(changes, pending_);
    const auto cutoff = std::exchange(pendingCutoff_, kNoCutoff);
    const auto generation = queuedGeneration_;
    lock.unlock();
    const auto error = write(changes, cutoff);
    const bool ok = error.empty();
    if (ok) changes.clear();
    lock.lock();
    if (!ok) {
      // Kept for the next try; a newer change to the same device wins.
      for (auto& [id, change] : changes) {
        const auto [newer, fresh] = pending_.try_emplace(id, std::move(change));
        if (!fresh && newer->second.publicKey.empty()) newer->second.publicKey = std::move(change.publicKey);
      }
      pendingCutoff_ = std::max(pendingCutoff_, cutoff);
      changes.clear();
    }
    const bool changed = ok == lastFailed_;
    lastFailed_ = !ok;
    doneGeneration_ = generation;
    written_.notify_all();
    if (changed) {
      lock.unlock();
      report(ok ? "device registry " + path_ + ": written again"
                : "device registry " + path_ + ": cannot write, will try again: " + error);
      lock.lock();
    }
    if (!ok) {
      if (stopping_) return;
      wake_.wait_for(lock, kRetryPause, [this] { return stopping_; });
    }
  }
}

std::string DeviceRegistry::write(const std::unordered_map<std::string, Change>& changes, std::int64_t cutoff) {
  const auto put = prepare(db_, "INSERT OR REPLACE INTO devices (id, public_key, last_seen) VALUES (?, ?, ?)");
  const auto touch = prepare(db_, "UPDATE devices SET last_seen = ? WHERE id = ?");
  const auto forget = prepare(db_, "DELETE FROM devices WHERE last_seen < ?");
  bool ok = put && touch && forget && exec(db_, "BEGIN");
  for (auto change = changes.begin(); ok && change != changes.end(); ++change) {
    const auto& [id, what] = *change;
    if (what.publicKey.empty()) {
      sqlite3_bind_int64(touch.get(), 1, what.lastSeen);
      bindText(touch.get(), 2, id);
      ok = step(touch.get());
    } else {
      bindText(put.get(), 1, id);
      bindText(put.get(), 2, what.publicKey);
      sqlite3_bind_int64(put.get(), 3, what.lastSeen);
      ok = step(put.get());
    }
  }
  // After the changes: a device registered again since it was forgotten is newer than the cutoff.
  if (ok && cutoff != kNoCutoff) {
    sqlite3_bind_int64(forget.get(), 1, cutoff);
    ok = step(forget.get());
  }
  if (ok && exec(db_, "COMMIT")) return {};
  std::string error = sqlite3_errmsg(db_);
  exec(db_, "ROLLBACK");
  return error.empty() ? "unknown error" : error;
}

void DeviceRegistry::report(const std::string& message) {
  if (onError_) onError_(message);
}

}  // namespace qova::server

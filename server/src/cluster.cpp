#include "cluster.h"

#include <algorithm>

#include <hiredis/async.h>
#include <hiredis/hiredis.h>
#include <openssl/crypto.h>
#include <openssl/hmac.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>

#include "access_guard.h"
#include "hex.h"

namespace qova::server {

namespace net = boost::asio;
using common::GuessLimiter;

namespace {

constexpr std::chrono::seconds kReconnectPause{1};
constexpr std::chrono::seconds kConnectTimeout{3};
constexpr std::int64_t kVouchLife = 60;
// Many keys at once (renewals, an import) go in batches, so one script never holds Redis long.
constexpr std::size_t kRenewBatch = 500;

std::string deviceKey(const std::string& id) { return "qova:device:" + id; }
std::string whereKey(const std::string& id) { return "qova:where:" + id; }
std::string guessKey(const std::string& id) { return "qova:guess:" + id; }
// The IDs kept, each scored with when its key lapses, so they can be counted: keys lapse one by one
// without a word, and a count kept beside them would only grow.
constexpr const char* kKeptKey = "qova:devices";

// 0 known (its ID kept longer), 1 registered, 2 nobody's yet and not added, 3 another key's, 4 full.
// Lapsed IDs leave the count a slice at a time, so one claim never holds Redis long; a score a second
// past the key's own lapse never lets the count fall below what is kept.
constexpr const char* kClaimScript = R"(
local k = redis.call('GET', KEYS[1])
local now = tonumber(redis.call('TIME')[1])
local lapses = now + tonumber(ARGV[2]) + 1
if k == ARGV[1] then
  redis.call('EXPIRE', KEYS[1], ARGV[2])
  redis.call('ZADD', KEYS[2], lapses, ARGV[4])
  return 0
end
if k then return 3 end
if ARGV[3] ~= '1' then return 2 end
local lapsed = redis.call('ZRANGEBYSCORE', KEYS[2], '-inf', now, 'LIMIT', 0, 1000)
if #lapsed > 0 then redis.call('ZREM', KEYS[2], unpack(lapsed)) end
if redis.call('ZCARD', KEYS[2]) >= tonumber(ARGV[5]) then return 4 end
redis.call('SET', KEYS[1], ARGV[1], 'EX', ARGV[2])
redis.call('ZADD', KEYS[2], lapses, ARGV[4])
return 1)";

// An entry that lapsed (Redis was away, or restarted) is this server's again; one another server
// wrote is not touched, and its position is answered.
constexpr const char* kRenewScript = R"(
local lost = {}
for i, key in ipairs(KEYS) do
  local v = redis.call('GET', key)
  if v and v ~= ARGV[1] then lost[#lost + 1] = i else redis.call('SET', key, ARGV[1], 'PX', ARGV[2]) end
end
return lost)";

constexpr const char* kWithdrawScript = R"(
if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0)";

// The guess budget is the same as the agent's own: the time it is full again, at most `burst` shares
// of `refill` ahead of now; an attempt spends one share unless that would go past it. Redis's clock,
// so servers whose clocks differ still share one budget.
constexpr const char* kLoginScript = R"(
local where = redis.call('GET', KEYS[1])
if where and where ~= ARGV[1] then return {-1, where} end
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local refill = tonumber(ARGV[3])
local full = math.max(tonumber(redis.call('GET', KEYS[2]) or '0'), now)
local spent = full + refill
local limit = now + refill * tonumber(ARGV[2])
if spent > limit then return {spent - limit, where or ''} end
redis.call('SET', KEYS[2], string.format('%d', spent), 'PX', spent - now)
return {0, where or ''})";

constexpr const char* kGiveBackScript = R"(
local t = redis.call('TIME')
local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000)
local back = tonumber(redis.call('GET', KEYS[1]) or '0') - tonumber(ARGV[1])
if back <= now then return redis.call('DEL', KEYS[1]) end
redis.call('SET', KEYS[1], string.format('%d', back), 'PX', back - now)
return 1)";

// KEYS[1] the count, then the devices' keys; ARGV[1] how long they are kept, then their IDs.
constexpr const char* kSeenScript = R"(
local lapses = tonumber(redis.call('TIME')[1]) + tonumber(ARGV[1]) + 1
for i = 2, #KEYS do
  if redis.call('EXPIRE', KEYS[i], ARGV[1]) == 1 then redis.call('ZADD', KEYS[1], lapses, ARGV[i]) end
end
return 0)";

// As kSeenScript, with each ID's public key after it: set only where Redis has none.
constexpr const char* kImportScript = R"(
local lapses = tonumber(redis.call('TIME')[1]) + tonumber(ARGV[1]) + 1
for i = 2, #KEYS do
  if redis.call('SET', KEYS[i], ARGV[2 * i - 1], 'NX', 'EX', ARGV[1]) then
    redis.call('ZADD', KEYS[1], lapses, ARGV[2 * i - 2])
  end
end
return 0)";

std::optional<DeviceWhere> parseWhere(std::string_view text) {
  const auto space = text.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  return DeviceWhere{std::string(text.substr(0, space)), std::string(text.substr(space + 1))};
}

std::string macOf(const std::string& secret, const std::string& text) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()), reinterpret_cast<const unsigned char*>(text.data()),
       text.size(), mac, &size);
  return common::toHex(std::string_view(reinterpret_cast<const char*>(mac), size));
}

}  // namespace

// hiredis's event hooks on the network thread: it says when it wants to read or write its socket,
// Asio says when it may. The descriptor stays hiredis's: released, never closed, here.
struct Cluster::Adapter : std::enable_shared_from_this<Adapter> {
  Adapter(net::io_context& io, redisAsyncContext* context) : descriptor(io, context->c.fd), context(context) {}

  void arm(bool write) {
    bool& wanted = write ? writing : reading;
    bool& armed = write ? writeArmed : readArmed;
    if (!wanted || armed || !context) return;
    armed = true;
    descriptor.async_wait(write ? net::posix::descriptor_base::wait_write : net::posix::descriptor_base::wait_read,
                          [self = shared_from_this(), write](const boost::system::error_code& error) {
                            (write ? self->writeArmed : self->readArmed) = false;
                            if (error || !self->context || !(write ? self->writing : self->reading)) return;
                            if (write) {
                              redisAsyncHandleWrite(self->context);
                            } else {
                              redisAsyncHandleRead(self->context);
                            }
                            self->arm(write);
                          });
  }
  static Adapter& of(void* data) { return *static_cast<Adapter*>(data); }

  net::posix::stream_descriptor descriptor;
  redisAsyncContext* context;
  bool reading = false, writing = false, readArmed = false, writeArmed = false;
};

namespace {

struct Pending {
  Cluster* cluster;
  std::function<void(redisReply*)> done;
  std::shared_ptr<bool> alive;
};

void onReply(redisAsyncContext*, void* reply, void* data) {
  std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
  // Replies still pending when the server shuts down are dropped, not answered.
  if (*pending->alive) pending->done(static_cast<redisReply*>(reply));
}

bool isError(const redisReply* reply) { return !reply || reply->type == REDIS_REPLY_ERROR; }

}  // namespace

Cluster::Cluster(net::io_context& io, Options options, std::function<void(const std::string&)> log)
    : io_(io), options_(std::move(options)), log_(std::move(log)), resolver_(io), retry_(io), connectDeadline_(io) {}

Cluster::~Cluster() {
  *alive_ = false;
  if (context_) redisAsyncFree(context_);
}

void Cluster::start() { connect(); }

// A name is resolved anew for each attempt, off the network thread: a slow DNS never stalls it, and
// a Redis that moved is found at its new address. IPv4 first, as hiredis itself would.
void Cluster::connect() {
  boost::system::error_code notAnAddress;
  net::ip::make_address(options_.host, notAnAddress);
  if (!notAnAddress) return connectTo(options_.host);
  resolver_.async_resolve(options_.host, std::to_string(options_.port),
                          [this, alive = alive_](const boost::system::error_code& error,
                                                 const net::ip::tcp::resolver::results_type& found) {
                            if (!*alive || error == net::error::operation_aborted) return;
                            if (error || found.empty()) return lost("cannot resolve: " + error.message());
                            const auto v4 = std::find_if(found.begin(), found.end(),
                                                         [](const auto& entry) { return entry.endpoint().address().is_v4(); });
                            connectTo((v4 == found.end() ? *found.begin() : *v4).endpoint().address().to_string());
                          });
}

void Cluster::connectTo(const std::string& address) {
  auto* context = redisAsyncConnect(address.c_str(), options_.port);
  if (!context || context->err) {
    const std::string why = context ? context->errstr : "out of memory";
    if (context) redisAsyncFree(context);
    return lost(why);
  }
  context_ = context;
  context->data = this;
  adapter_ = std::make_shared<Adapter>(io_, context);
  context->ev.data = adapter_.get();
  context->ev.addRead = [](void* data) { auto& a = Adapter::of(data); a.reading = true; a.arm(false); };
  context->ev.delRead = [](void* data) { Adapter::of(data).reading = false; };
  context->ev.addWrite = [](void* data) { auto& a = Adapter::of(data); a.writing = true; a.arm(true); };
  context->ev.delWrite = [](void* data) { Adapter::of(data).writing = false; };
  context->ev.cleanup = [](void* data) {
    auto& a = Adapter::of(data);
    a.context = nullptr;
    a.reading = a.writing = false;
    boost::system::error_code ignored;
    a.descriptor.cancel(ignored);
    a.descriptor.release();
  };
  redisAsyncSetConnectCallback(context, [](const redisAsyncContext* c, int status) {
    auto& self = *static_cast<Cluster*>(c->data);
    self.connectDeadline_.cancel();
    if (status != REDIS_OK) {
      self.context_ = nullptr;  // hiredis frees it
      return self.lost(c->errstr);
    }
    self.connected_ = true;
    if (self.noticed_) self.log_("redis " + self.options_.host + ":" + std::to_string(self.options_.port) + " reachable again");
    self.noticed_ = false;
    if (!self.toImport_.empty()) self.importOnce(std::move(self.toImport_));
  });
  redisAsyncSetDisconnectCallback(context, [](const redisAsyncContext* c, int) {
    auto& self = *static_cast<Cluster*>(c->data);
    if (!*self.alive_) return;
    self.context_ = nullptr;
    self.connected_ = false;
    self.lost(c->errstr[0] ? c->errstr : "connection closed");
  });
  connectDeadline_.expires_after(kConnectTimeout);
  connectDeadline_.async_wait([this, alive = alive_](const boost::system::error_code& error) {
    if (error || !*alive || connected_ || !context_) return;
    auto* stale = std::exchange(context_, nullptr);
    redisAsyncFree(stale);
    lost("connect timed out");
  });
}

void Cluster::lost(const std::string& why) {
  connected_ = false;
  if (!noticed_) {
    noticed_ = true;
    log_("redis " + options_.host + ":" + std::to_string(options_.port) + " unreachable (" + why +
         "): serving what this server holds, refusing what needs the directory, reconnecting");
  }
  retry_.expires_after(kReconnectPause);
  retry_.async_wait([this, alive = alive_](const boost::system::error_code& error) {
    if (!error && *alive && !context_) connect();
  });
}

void Cluster::command(Reply done, const std::vector<std::string>& args) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (const auto& arg : args) {
    argv.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  auto pending = std::make_unique<Pending>(Pending{this, std::move(done), alive_});
  if (connected_ && context_ &&
      redisAsyncCommandArgv(context_, onReply, pending.get(), static_cast<int>(argv.size()), argv.data(),
                            lengths.data()) == REDIS_OK) {
    pending.release();
    return;
  }
  // Answered later, as a reply would be: callers never see their callback run inside their call.
  net::post(io_, [pending = std::shared_ptr<Pending>(std::move(pending))] {
    if (*pending->alive) pending->done(nullptr);
  });
}

void Cluster::eval(Reply done, const char* script, const std::vector<std::string>& keys,
                   const std::vector<std::string>& args) {
  std::vector<std::string> argv{"EVAL", script, std::to_string(keys.size())};
  argv.insert(argv.end(), keys.begin(), keys.end());
  argv.insert(argv.end(), args.begin(), args.end());
  command(std::move(done), argv);
}

void Cluster::claim(const std::string& deviceId, const std::string& publicKey, bool mayAdd,
                    std::function<void(Claim)> done) {
  eval(
      [done = std::move(done)](redisReply* reply) {
        if (isError(reply) || reply->type != REDIS_REPLY_INTEGER) return done(Claim::Unavailable);
        constexpr Claim kAnswers[] = {Claim::Known, Claim::Registered, Claim::Unknown, Claim::Conflict, Claim::Full};
        done(reply->integer >= 0 && reply->integer < 5 ? kAnswers[reply->integer] : Claim::Unavailable);
      },
      kClaimScript, {deviceKey(deviceId), kKeptKey},
      {publicKey, std::to_string(options_.forgetAfter.count()), mayAdd ? "1" : "0", deviceId,
       std::to_string(options_.maxDevices)});
}

void Cluster::announce(const std::string& deviceId) {
  command([](redisReply*) {}, {"SET", whereKey(deviceId), ownWhere(), "PX", std::to_string(kDirectoryLife.count())});
}

void Cluster::renew(const std::vector<std::string>& deviceIds, std::function<void(std::vector<std::string>)> lost) {
  for (std::size_t from = 0; from < deviceIds.size(); from += kRenewBatch) {
    std::vector<std::string> ids(deviceIds.begin() + static_cast<std::ptrdiff_t>(from),
                                 deviceIds.begin() + static_cast<std::ptrdiff_t>(std::min(deviceIds.size(), from + kRenewBatch)));
    std::vector<std::string> keys;
    for (const auto& id : ids) keys.push_back(whereKey(id));
    eval(
        [ids, lost](redisReply* reply) {
          if (isError(reply) || reply->type != REDIS_REPLY_ARRAY) return;
          std::vector<std::string> gone;
          for (std::size_t i = 0; i < reply->elements; ++i) {
            const auto at = reply->element[i]->integer;
            if (at >= 1 && static_cast<std::size_t>(at) <= ids.size()) gone.push_back(ids[static_cast<std::size_t>(at - 1)]);
          }
          if (!gone.empty()) lost(std::move(gone));
        },
        kRenewScript, keys, {ownWhere(), std::to_string(kDirectoryLife.count())});
  }
}

void Cluster::withdraw(const std::string& deviceId) {
  eval([](redisReply*) {}, kWithdrawScript, {whereKey(deviceId)}, {ownWhere()});
}

void Cluster::login(const std::string& deviceId, std::function<void(std::optional<Login>)> done) {
  eval(
      [done = std::move(done), own = ownWhere()](redisReply* reply) {
        if (isError(reply) || reply->type != REDIS_REPLY_ARRAY || reply->elements != 2 ||
            reply->element[0]->type != REDIS_REPLY_INTEGER || reply->element[1]->type != REDIS_REPLY_STRING) {
          return done(std::nullopt);
        }
        Login login;
        const auto wait = reply->element[0]->integer;
        login.elsewhere = wait < 0;
        login.wait = std::chrono::milliseconds(std::max<long long>(wait, 0));
        login.where = parseWhere(std::string_view(reply->element[1]->str, reply->element[1]->len));
        done(login);
      },
      kLoginScript, {whereKey(deviceId), guessKey(deviceId)},
      {ownWhere(), std::to_string(GuessLimiter::kBurst), std::to_string(GuessLimiter::kRefill.count())});
}

void Cluster::locate(const std::string& deviceId, std::function<void(std::optional<DeviceWhere>)> done) {
  command(
      [done = std::move(done)](redisReply* reply) {
        if (isError(reply) || reply->type != REDIS_REPLY_STRING) return done(std::nullopt);
        done(parseWhere(std::string_view(reply->str, reply->len)));
      },
      {"GET", whereKey(deviceId)});
}

void Cluster::giveBack(const std::string& deviceId) {
  eval([](redisReply*) {}, kGiveBackScript, {guessKey(deviceId)}, {std::to_string(GuessLimiter::kRefill.count())});
}

void Cluster::seen(const std::vector<std::string>& deviceIds) {
  for (std::size_t from = 0; from < deviceIds.size(); from += kRenewBatch) {
    std::vector<std::string> keys{kKeptKey}, args{std::to_string(options_.forgetAfter.count())};
    for (std::size_t i = from; i < std::min(deviceIds.size(), from + kRenewBatch); ++i) {
      keys.push_back(deviceKey(deviceIds[i]));
      args.push_back(deviceIds[i]);
    }
    eval([](redisReply*) {}, kSeenScript, keys, args);
  }
}

void Cluster::importOnce(std::vector<std::pair<std::string, std::string>> devices) {
  if (!connected_) {
    toImport_ = std::move(devices);
    return;
  }
  // Each server imports once, marked under its own ID: one that joins later brings its devices too.
  // The mark goes first, so a server restarted midway does not import twice; what a lost connection
  // left out joins by claims, as new devices do.
  command(
      [this, devices = std::move(devices)](redisReply* reply) mutable {
        if (!reply || reply->type != REDIS_REPLY_STATUS) return;
        for (std::size_t from = 0; from < devices.size(); from += kRenewBatch) {
          std::vector<std::string> keys{kKeptKey}, args{std::to_string(options_.forgetAfter.count())};
          for (std::size_t i = from; i < std::min(devices.size(), from + kRenewBatch); ++i) {
            keys.push_back(deviceKey(devices[i].first));
            args.push_back(devices[i].first);
            args.push_back(devices[i].second);
          }
          eval([](redisReply*) {}, kImportScript, keys, args);
        }
        log_("took " + std::to_string(devices.size()) + " device keys into redis");
      },
      {"SET", "qova:imported:" + options_.serverId, "1", "NX"});
}

std::string vouchForAddress(const std::string& secret, const std::string& address, std::int64_t unixSeconds) {
  const auto text = address + " " + std::to_string(unixSeconds);
  return text + " " + macOf(secret, text);
}

std::optional<std::string> vouchedAddress(const std::string& secret, const std::string& header, std::int64_t unixSeconds) {
  const auto macAt = header.rfind(' ');
  if (secret.empty() || macAt == std::string::npos) return std::nullopt;
  const auto text = header.substr(0, macAt);
  const auto timeAt = text.rfind(' ');
  if (timeAt == std::string::npos || timeAt == 0) return std::nullopt;
  std::int64_t when = 0;
  try {
    when = std::stoll(text.substr(timeAt + 1));
  } catch (...) {
    return std::nullopt;
  }
  const auto expected = macOf(secret, text);
  const auto given = header.substr(macAt + 1);
  if (given.size() != expected.size() || CRYPTO_memcmp(given.data(), expected.data(), given.size()) != 0) return std::nullopt;
  if (when < unixSeconds - kVouchLife || when > unixSeconds + kVouchLife) return std::nullopt;
  return text.substr(0, timeAt);
}

}  // namespace qova::server

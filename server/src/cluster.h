#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

struct redisAsyncContext;
struct redisReply;

namespace qova::server {

// Where a device's control connection is: the server's id and the address other servers reach it at.
struct DeviceWhere {
  std::string serverId;
  std::string peer;  // "wss://host:port"
};

// What several servers share so they work as one, kept in Redis: which key owns each device ID,
// which server holds each device's control connection (an entry that lapses unless renewed), and each
// device's guess budget. Every step is one atomic script, so servers never race each other.
// Asynchronous on the network thread: answers come as callbacks there, never blocking it; while Redis
// cannot be reached each answer says so at once, and the connection is tried again by itself.
class Cluster {
 public:
  using Clock = std::chrono::steady_clock;
  // How long a directory entry lives without renewal, and how often this server renews its own.
  static constexpr std::chrono::milliseconds kDirectoryLife{15000};
  static constexpr std::chrono::milliseconds kRenewEvery{5000};

  struct Options {
    std::string host;
    unsigned short port = 6379;
    std::string serverId;
    std::string peer;  // how other servers reach this one
    std::chrono::seconds forgetAfter{60 * 24 * 60 * 60};
    std::size_t maxDevices = 1'000'000;  // device IDs the cluster keeps at most
  };
  enum class Claim { Known, Registered, Unknown, Conflict, Full, Unavailable };
  struct Login {
    std::chrono::milliseconds wait{0};  // the device's budget is spent: not judged before then
    std::optional<DeviceWhere> where;
    bool elsewhere = false;             // on another server: nothing was spent here
  };

  // `log` gets one line when Redis goes away and one when it is back.
  Cluster(boost::asio::io_context& io, Options options, std::function<void(const std::string&)> log);
  ~Cluster();
  Cluster(const Cluster&) = delete;
  Cluster& operator=(const Cluster&) = delete;

  void start();
  bool available() const { return connected_; }
  const Options& options() const { return options_; }

  // The first key to prove itself for an ID keeps it; a known key's ID is kept another forgetAfter.
  // With `mayAdd` false an ID nobody has is only reported (Unknown), so the caller can spend its
  // budget for new devices first. A new ID is Full while the cluster keeps maxDevices.
  void claim(const std::string& deviceId, const std::string& publicKey, bool mayAdd, std::function<void(Claim)> done);
  // This server holds the device's control connection now, whoever held it before.
  void announce(const std::string& deviceId);
  // Renews this server's entries; `lost` gets those another server took over meanwhile.
  void renew(const std::vector<std::string>& deviceIds, std::function<void(std::vector<std::string>)> lost);
  // The device left this server: its entry goes, unless another server's replaced it already.
  void withdraw(const std::string& deviceId);
  // A viewer's attempt on a device: where it is, and unless that is another server, the device's
  // guess budget spent. nullopt while Redis cannot be reached.
  void login(const std::string& deviceId, std::function<void(std::optional<Login>)> done);
  // Where the device is, if anywhere and Redis can be asked.
  void locate(const std::string& deviceId, std::function<void(std::optional<DeviceWhere>)> done);
  // A right code gives back the share it spent.
  void giveBack(const std::string& deviceId);
  // Keys this server knew before it joined the cluster, taken in once per server ID: an ID Redis has
  // keeps its key, one it lacks gets this server's, so the devices keep their IDs.
  void importOnce(std::vector<std::pair<std::string, std::string>> devices);
  // The devices held here are seen: their IDs are not forgotten while they stay online.
  void seen(const std::vector<std::string>& deviceIds);

  std::string ownWhere() const { return options_.serverId + " " + options_.peer; }

 private:
  struct Adapter;
  using Reply = std::function<void(redisReply*)>;
  void connect();
  void connectTo(const std::string& address);
  void lost(const std::string& why);
  void command(Reply done, const std::vector<std::string>& args);
  void eval(Reply done, const char* script, const std::vector<std::string>& keys, const std::vector<std::string>& args);

  boost::asio::io_context& io_;
  Options options_;
  std::function<void(const std::string&)> log_;
  redisAsyncContext* context_ = nullptr;
  std::shared_ptr<Adapter> adapter_;
  bool connected_ = false;
  bool noticed_ = false;  // the line about Redis being away is written once per outage
  std::vector<std::pair<std::string, std::string>> toImport_;
  boost::asio::ip::tcp::resolver resolver_;
  boost::asio::steady_timer retry_;
  boost::asio::steady_timer connectDeadline_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// The header a server passes another's client on with.
inline constexpr const char* kVouchHeader = "X-Qova-Vouched-Address";

// Whoever knows the cluster's secret vouches with these for a viewer's address when it passes the
// viewer on to another server: "address time mac", good for a minute.
std::string vouchForAddress(const std::string& secret, const std::string& address, std::int64_t unixSeconds);
std::optional<std::string> vouchedAddress(const std::string& secret, const std::string& header, std::int64_t unixSeconds);

}  // namespace qova::server

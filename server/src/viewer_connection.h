#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "protocol.h"
#include "relay_socket.h"
#include "session_pipe.h"
#include "relay_state.h"

namespace qova::server {

class SessionConnection;

// A viewer: it may send one login at a time until its device's agent accepts the code and opens a
// session connection for it, then it is spliced to that connection until either ends, it goes idle
// or its time is up. The gate decides; this glues the decisions to the socket and its waits.
class ViewerConnection final : public RelaySocket {
 public:
  ViewerConnection(TlsStream&& stream, std::shared_ptr<AddressSlot> slot);

  // The device's agent's share of a sealed login's exchange; false when none was asked of it now.
  bool sealAnswered(const LoginSeal& answer);
  // What the device's agent said about the access code.
  void loginAnswered(const LoginResult& result);
  // The agent's session connection for this viewer is here; from now on they talk. False when this
  // viewer's address holds all it may already.
  bool joined(const std::shared_ptr<SessionConnection>& session);
  // A message from the device, through the session connection; see SessionPipe::fromDevice.
  SessionPipe::Verdict fromDevice(std::string data, bool binary, std::function<void()> written);

 private:
  bool handle(std::string data, bool binary) override;
  void finished() override;
  void stopWaits() override;

  // False while the directory is asked: the viewer's next message is read once it answered.
  bool tryLogin(const ViewerLogin& login, std::string opening);
  void judge(const ViewerLogin& login);
  void passOn(const std::string& peer, std::string opening);
  void tooManyTries(RelayState::Clock::duration wait);
  void forwardProof(const std::string& proof);
  void answerLater(const std::string& why, std::int64_t retryMs);
  void armIdleCheck();
  void endSession(const char* reason);

  std::string ticket_;
  RelayState::Clock::time_point attemptStart_{};
  bool attempt_ = false;
  // A sealed attempt's steps, one round trip each way: the agent's share of the exchange, the viewer's
  // proof, the agent's verdict on it. The server passes them on and can neither read nor forge them.
  enum class SealStep { None, AgentShare, ViewerProof, Verdict };
  SealStep sealStep_ = SealStep::None;
  bool sealed_ = false;
  std::weak_ptr<SessionConnection> session_;
  std::optional<SessionPipe> pipe_;
  // Each wait on its own: the agent's verdict, the agent's session connection, the equal delay of a
  // refusal, the session's idle limit and its total time.
  boost::asio::steady_timer answerTimer_;
  boost::asio::steady_timer joinTimer_;
  boost::asio::steady_timer refusalTimer_;
  boost::asio::steady_timer idleTimer_;
  boost::asio::steady_timer totalTimer_;
};

}  // namespace qova::server

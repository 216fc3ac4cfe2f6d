#include "viewer_connection.h"

#include <nlohmann/json.hpp>

#include "agent_control.h"
#include "session_connection.h"

namespace qova::server {

namespace {

using Json = nlohmann::json;
using Clock = RelayState::Clock;
using Verdict = SessionPipe::Verdict;

constexpr std::chrono::seconds kAgentAnswerTimeout{5};
constexpr std::chrono::seconds kSessionJoinTimeout{10};
constexpr std::size_t kMaxLoginMessage = 256;
// Input, text and upload pieces from a viewer, as the local page allows them.
constexpr std::size_t kMaxViewerMessage = 512 * 1024 + 4096;

}  // namespace

ViewerConnection::ViewerConnection(TlsStream&& stream, std::shared_ptr<AddressSlot> slot)
    : RelaySocket(std::move(stream), std::move(slot), kMaxLoginMessage), answerTimer_(state_.io),
      joinTimer_(state_.io), refusalTimer_(state_.io), idleTimer_(state_.io), totalTimer_(state_.io) {}

void ViewerConnection::loginAnswered(const LoginResult& result) {
  if (!attempt_ || finished_) return;
  if (!result.ok) {
    return answerLater(result.retryMs > 0 ? "refused by the device's guess limit" : "wrong access code", result.retryMs);
  }
  // A right code, but this device or this address already holds all the sessions it may.
  if (!state_.gate.accept(ticket_)) {
    refusal("login to " + deviceFrom() + ": accepted, but too many sessions");
    ticket_.clear();
    return closeWith({{"type", "ended"}, {"reason", "too many sessions"}});
  }
  state_.log.line("login to " + deviceFrom() + ": accepted");
  answerTimer_.cancel();
  joinTimer_.expires_after(kSessionJoinTimeout);
  joinTimer_.async_wait([self = self<ViewerConnection>()](boost::system::error_code error) {
    if (!error) self->answerLater("the device opened no session", 0);
  });
}

bool ViewerConnection::joined(const std::shared_ptr<SessionConnection>& session) {
  if (!slot_->proved()) return false;
  attempt_ = false;
  established_ = true;
  session_ = session;
  state_.gate.joined(deviceId_, slot_->address);
  joinTimer_.cancel();
  ws_.read_message_max(kMaxViewerMessage);
  pipe_.emplace(state_.options.sessionIdle);
  armIdleCheck();
  totalTimer_.expires_after(state_.options.sessionTotal);
  totalTimer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
    auto self = std::static_pointer_cast<ViewerConnection>(weak.lock());
    if (!error && self) self->endSession("time");
  });
  return true;
}

Verdict ViewerConnection::fromDevice(std::string data, bool binary) {
  return pipe_->fromDevice(outbox(), std::move(data), binary, shared_from_this());
}

bool ViewerConnection::handle(std::string data, bool binary) {
  if (auto session = session_.lock()) {
    const auto verdict = pipe_->fromViewer(session->outbox(), std::move(data), binary, session,
                                           [self = self<ViewerConnection>()] {
                                             if (!self->finished_) self->readNext();
                                           });
    if (verdict != Verdict::Passed) session->finish();
    return false;
  }
  if (established_) return finish(), false;
  const auto login = binary ? std::nullopt : parseViewerLogin(data);
  // Our page sends nothing else before it is let through, and waits for each answer.
  if (!login || attempt_) return finish(), false;
  tryLogin(*login);
  return true;
}

void ViewerConnection::tryLogin(const ViewerLogin& login) {
  deviceId_ = login.deviceId;
  const auto wait = state_.gate.admit(slot_->address, deviceId_);
  if (wait > wait.zero()) {
    refusal("login to " + deviceFrom() + ": not judged, too many tries");
    push(Json{{"type", "auth"}, {"ok", false}, {"retryMs", std::chrono::ceil<std::chrono::milliseconds>(wait).count()}}
             .dump());
    return;
  }
  attempt_ = true;
  attemptStart_ = Clock::now();
  auto agent = state_.agent(deviceId_);
  if (!agent) return answerLater("unknown or offline device", 0);
  ticket_ = state_.gate.open(self<ViewerConnection>(), deviceId_, slot_->address);
  agent->push(Json{{"type", "login"}, {"ticket", ticket_}, {"code", login.code}, {"address", slot_->address}}.dump());
  answerTimer_.expires_after(kAgentAnswerTimeout);
  answerTimer_.async_wait([self = self<ViewerConnection>()](boost::system::error_code error) {
    if (!error) self->answerLater("the device did not answer", 0);
  });
}

void ViewerConnection::answerLater(const std::string& why, std::int64_t retryMs) {
  const auto at = state_.gate.refuse(ticket_, attemptStart_);
  ticket_.clear();
  refusal("login to " + deviceFrom() + ": refused, " + why);
  answerTimer_.cancel();
  joinTimer_.cancel();
  refusalTimer_.expires_at(at);
  refusalTimer_.async_wait([self = self<ViewerConnection>(), retryMs](boost::system::error_code error) {
    if (error || self->finished_) return;
    self->attempt_ = false;
    Json answer{{"type", "auth"}, {"ok", false}};
    if (retryMs > 0) answer["retryMs"] = retryMs;
    self->push(answer.dump());
  });
}

void ViewerConnection::armIdleCheck() {
  idleTimer_.expires_at(pipe_->idleAt());
  idleTimer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
    auto self = std::static_pointer_cast<ViewerConnection>(weak.lock());
    if (error || !self) return;
    if (self->pipe_->idle()) return self->endSession("idle");
    self->armIdleCheck();
  });
}

void ViewerConnection::endSession(const char* reason) {
  state_.log.line("session with " + deviceFrom() + " ended: " + reason);
  // Parted first: the session's end must not tell this viewer the device went offline.
  auto session = session_.lock();
  session_.reset();
  if (session) {
    session->part();
    session->finish();
  }
  closeWith({{"type", "ended"}, {"reason", reason}});
}

void ViewerConnection::stopWaits() {
  answerTimer_.cancel();
  joinTimer_.cancel();
  refusalTimer_.cancel();
  idleTimer_.cancel();
}

void ViewerConnection::finished() {
  totalTimer_.cancel();
  if (!ticket_.empty()) state_.gate.drop(ticket_);
  if (established_) state_.gate.left(deviceId_, slot_->address);
  if (auto session = session_.lock()) session->finish();
}

}  // namespace qova::server

#include "viewer_connection.h"

#include <nlohmann/json.hpp>

#include "agent_control.h"
#include "peer_bridge.h"
#include "session_connection.h"

namespace qova::server {

namespace {

using Json = nlohmann::json;
using Clock = RelayState::Clock;
using Verdict = SessionPipe::Verdict;

constexpr std::chrono::seconds kAgentAnswerTimeout{5};
constexpr std::chrono::seconds kSessionJoinTimeout{10};
// Room for a sealed opening with every part at its bound (about 300 bytes).
constexpr std::size_t kMaxLoginMessage = 512;
// Input, text and upload pieces from a viewer, as the local page allows them.
constexpr std::size_t kMaxViewerMessage = 512 * 1024 + 4096;
// Without the directory nothing is judged: the page is told to try again this much later.
constexpr std::int64_t kDirectoryRetryMs = 5000;

}  // namespace

ViewerConnection::ViewerConnection(TlsStream&& stream, std::shared_ptr<AddressSlot> slot)
    : RelaySocket(std::move(stream), std::move(slot), kMaxLoginMessage), answerTimer_(state_.io),
      joinTimer_(state_.io), refusalTimer_(state_.io), idleTimer_(state_.io), totalTimer_(state_.io) {}

bool ViewerConnection::sealAnswered(const LoginSeal& answer) {
  if (finished_) return true;
  if (sealStep_ != SealStep::AgentShare) return false;
  sealStep_ = SealStep::ViewerProof;
  // The ticket is bound into the keys: a share passed on to another attempt makes none that fit.
  Json reply{{"type", "seal"}, {"share", answer.share}, {"ticket", ticket_}};
  if (!answer.aead.empty()) reply["aead"] = answer.aead;
  push(reply.dump());
  return true;
}

void ViewerConnection::loginAnswered(const LoginResult& result) {
  if (!attempt_ || finished_) return;
  // A sealed attempt is let in only on the viewer's proof; a yes before it is none.
  if (result.ok && sealStep_ != SealStep::None && sealStep_ != SealStep::Verdict) {
    return answerLater("the device accepted before the proof", 0);
  }
  if (!result.ok) {
    return answerLater(result.retryMs > 0 ? "refused by the device's guess limit" : "wrong access code", result.retryMs);
  }
  // A right code, but this device or this address already holds all the sessions it may.
  if (!state_.gate.accept(ticket_)) {
    refusal("login to " + deviceFrom() + ": accepted, but too many sessions");
    ticket_.clear();
    return closeWith({{"type", "ended"}, {"reason", "too many sessions"}});
  }
  if (state_.cluster) state_.cluster->giveBack(deviceId_);
  state_.log.line("login to " + deviceFrom() + ": accepted" + (sealStep_ == SealStep::Verdict ? ", sealed" : ""));
  sealed_ = sealStep_ == SealStep::Verdict;
  sealStep_ = SealStep::None;
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
  pipe_.emplace(state_.options.sessionIdle, sealed_);
  armIdleCheck();
  totalTimer_.expires_after(state_.options.sessionTotal);
  totalTimer_.async_wait([weak = weak_from_this()](boost::system::error_code error) {
    auto self = std::static_pointer_cast<ViewerConnection>(weak.lock());
    if (!error && self) self->endSession("time");
  });
  return true;
}

Verdict ViewerConnection::fromDevice(std::string data, bool binary, std::function<void()> written) {
  return pipe_->fromDevice(outbox(), std::move(data), binary, shared_from_this(), std::move(written));
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
  if (sealStep_ == SealStep::ViewerProof) {
    const auto proof = binary ? std::nullopt : parseViewerProof(data);
    if (!proof) return finish(), false;
    forwardProof(*proof);
    return true;
  }
  const auto login = binary ? std::nullopt : parseViewerLogin(data);
  // Our page sends nothing else before it is let through, and waits for each answer.
  if (!login || attempt_) return finish(), false;
  return tryLogin(*login, std::move(data));
}

bool ViewerConnection::tryLogin(const ViewerLogin& login, std::string opening) {
  deviceId_ = login.deviceId;
  attemptStart_ = Clock::now();
  if (!state_.cluster) {
    const auto wait = state_.gate.admit(slot_->address, deviceId_);
    if (wait > wait.zero()) return tooManyTries(wait), true;
    judge(login);
    return true;
  }
  // The address's budget here, the device's in Redis where every server spends it; the device's
  // server judges, so an attempt on a device elsewhere is passed on untouched and spent there.
  const auto wait = state_.gate.admitAddress(slot_->address);
  if (wait > wait.zero()) return tooManyTries(wait), true;
  attempt_ = true;
  state_.cluster->login(deviceId_, [self = self<ViewerConnection>(), login, opening = std::move(opening)](
                                       std::optional<Cluster::Login> found) mutable {
    if (self->finished_) return;
    if (!found) {
      self->attempt_ = false;
      self->refusal("login to " + self->deviceFrom() + ": not judged, directory unavailable");
      self->push(Json{{"type", "auth"}, {"ok", false}, {"retryMs", kDirectoryRetryMs},
                      {"reason", "directory unavailable, try later"}}.dump());
    } else if (found->elsewhere && found->where) {
      return self->passOn(found->where->peer, std::move(opening));
    } else if (found->elsewhere) {
      self->answerLater("unknown or offline device", 0);
    } else if (found->wait > found->wait.zero()) {
      self->attempt_ = false;
      self->tooManyTries(found->wait);
    } else {
      self->judge(login);
    }
    self->readNext();
  });
  return false;
}

void ViewerConnection::passOn(const std::string& peer, std::string opening) {
  PeerBridge::open(state_, peer, "/viewer", slot_->address, std::move(opening),
                   [self = self<ViewerConnection>()](std::shared_ptr<PeerBridge> bridge) {
                     if (self->finished_) {
                       if (bridge) bridge->close();
                       return;
                     }
                     if (!bridge) {
                       // A server that went away keeps its entries a few seconds: its devices are offline meanwhile.
                       self->answerLater("the device's server cannot be reached", 0);
                       return self->readNext();
                     }
                     self->attempt_ = false;
                     self->state_.gate.passedOn(self->slot_->address);
                     self->bridge(std::move(bridge), kMaxViewerMessage);
                   });
}

void ViewerConnection::tooManyTries(Clock::duration wait) {
  refusal("login to " + deviceFrom() + ": not judged, too many tries");
  push(Json{{"type", "auth"}, {"ok", false}, {"retryMs", std::chrono::ceil<std::chrono::milliseconds>(wait).count()}}
           .dump());
}

void ViewerConnection::judge(const ViewerLogin& login) {
  attempt_ = true;
  auto agent = state_.agent(deviceId_);
  if (!agent) return answerLater("unknown or offline device", 0);
  ticket_ = state_.gate.open(self<ViewerConnection>(), deviceId_, slot_->address);
  Json forwarded{{"type", "login"}, {"ticket", ticket_}, {"address", slot_->address}};
  if (login.sealed()) {
    forwarded["seal"] = {{"sid", login.sid}, {"share", login.share}};
    if (!login.aeads.empty()) forwarded["seal"]["aead"] = login.aeads;
    sealStep_ = SealStep::AgentShare;
  } else {
    forwarded["code"] = login.code;
  }
  agent->push(forwarded.dump());
  // Covers a sealed attempt's both round trips: a viewer that never proves is refused like a wrong code.
  answerTimer_.expires_after(kAgentAnswerTimeout);
  answerTimer_.async_wait([self = self<ViewerConnection>()](boost::system::error_code error) {
    if (!error) {
      self->answerLater(self->sealStep_ == SealStep::ViewerProof ? "no proof from the viewer" : "the device did not answer", 0);
    }
  });
}

void ViewerConnection::forwardProof(const std::string& proof) {
  sealStep_ = SealStep::Verdict;
  // Only the agent that was asked knows the attempt; one that took the device over since does not answer.
  if (auto agent = state_.agent(deviceId_)) {
    agent->push(Json{{"type", "login-confirm"}, {"ticket", ticket_}, {"confirm", proof}}.dump());
  }
}

void ViewerConnection::answerLater(const std::string& why, std::int64_t retryMs) {
  const auto at = state_.gate.refuse(ticket_, attemptStart_);
  ticket_.clear();
  sealStep_ = SealStep::None;
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

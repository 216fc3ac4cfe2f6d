#include "session_connection.h"

#include <nlohmann/json.hpp>

#include "peer_bridge.h"
#include "protocol.h"
#include "viewer_connection.h"

namespace qova::server {

namespace {

constexpr std::size_t kMaxAgentMessage = 4 * 1024;
constexpr std::size_t kMaxFrameMessage = 8 * 1024 * 1024;

}  // namespace

SessionConnection::SessionConnection(TlsStream&& stream, std::shared_ptr<AddressSlot> slot)
    : RelaySocket(std::move(stream), std::move(slot), kMaxAgentMessage) {}

bool SessionConnection::handle(std::string data, bool binary) {
  auto viewer = viewer_.lock();
  if (!viewer) return join(std::move(data), binary);
  const auto verdict = viewer->fromDevice(std::move(data), binary, [self = self<SessionConnection>()] {
    if (!self->finished_) self->readNext();
  });
  switch (verdict) {
    case SessionPipe::Verdict::Passed:
      return true;
    case SessionPipe::Verdict::Waits:
      return false;
    case SessionPipe::Verdict::CloseViewer:
      viewer->finish();  // which ends this side too
      return true;
    case SessionPipe::Verdict::CloseDevice:
      break;
  }
  return finish(), false;
}

bool SessionConnection::join(std::string data, bool binary) {
  if (established_) return finish(), false;  // its viewer is gone
  const auto message = binary ? std::nullopt : parseAgentMessage(data);
  const auto* join = message ? std::get_if<SessionJoin>(&*message) : nullptr;
  if (join && state_.cluster && !state_.agent(join->deviceId)) return passOn(join->deviceId, std::move(data));
  // Only a ticket the device's agent accepted, presented for that device while it is online.
  const auto redeemed = join && state_.agent(join->deviceId) ? state_.gate.redeem(join->ticket, join->deviceId)
                                                              : std::nullopt;
  if (!redeemed) return finish(), false;
  auto viewer = redeemed->lock();
  if (!viewer || !slot_->proved()) return finish(), false;
  if (!viewer->joined(self<SessionConnection>())) {
    viewer->closeWith({{"type", "ended"}, {"reason", "too many sessions"}});
    return finish(), false;
  }
  established_ = true;
  viewer_ = viewer;
  ws_.read_message_max(kMaxFrameMessage);
  return true;
}

// The agent's control connection is on another server (its session dial landed elsewhere): the
// session goes on there, where its ticket is.
bool SessionConnection::passOn(const std::string& deviceId, std::string join) {
  state_.cluster->locate(deviceId, [self = self<SessionConnection>(), join = std::move(join)](std::optional<DeviceWhere> where) mutable {
    if (self->finished_) return;
    if (!where || where->serverId == self->state_.options.serverId) return self->finish();
    PeerBridge::open(self->state_, where->peer, "/session", self->slot_->address, std::move(join),
                     [self](std::shared_ptr<PeerBridge> bridge) {
                       if (!bridge || self->finished_) {
                         if (bridge) bridge->close();
                         return self->finish();
                       }
                       self->bridge(std::move(bridge), kMaxFrameMessage);
                     });
  });
  return false;
}

void SessionConnection::finished() {
  if (auto viewer = viewer_.lock()) viewer->closeWith({{"type", "offline"}});
}

}  // namespace qova::server

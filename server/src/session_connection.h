#pragma once

#include <memory>
#include <string>

#include "relay_socket.h"

namespace qova::server {

class ViewerConnection;

// The connection a device's agent opens for one viewer it let in: it presents the ticket, then
// whatever it sends goes to that viewer and the viewer's input comes to it.
class SessionConnection final : public RelaySocket {
 public:
  SessionConnection(TlsStream&& stream, std::shared_ptr<AddressSlot> slot);

  // The viewer ended the session itself: it is not to be told that the device went away.
  void part() { viewer_.reset(); }

 private:
  bool handle(std::string data, bool binary) override;
  void finished() override;
  bool join(std::string data, bool binary);
  bool passOn(const std::string& deviceId, std::string join);

  std::weak_ptr<ViewerConnection> viewer_;
};

}  // namespace qova::server

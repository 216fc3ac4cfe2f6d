#pragma once

#include <memory>
#include <string>

#include "relay_state.h"

namespace qova::server {

// A connection's place in the total count and, until it has proved itself (a registered agent, a
// joined session, a viewer let through), in its address's count: the cap per address is for
// connections that have shown nothing yet, so many devices behind one NAT address are not turned away.
// Once proved, it counts among what its address holds, which has a cap of its own.
class AddressSlot {
 public:
  AddressSlot(std::shared_ptr<RelayState> state, std::string address)
      : state(std::move(state)), address(std::move(address)) {
    countUp(this->state->perAddress, this->address);
    ++this->state->connections;
  }
  ~AddressSlot() {
    if (counted_) countDown(state->perAddress, address);
    if (established_) countDown(state->establishedPerAddress, address);
    --state->connections;
  }
  AddressSlot(const AddressSlot&) = delete;
  AddressSlot& operator=(const AddressSlot&) = delete;

  // False, changing nothing, when the address holds all it may already.
  bool proved() {
    if (!counted_) return true;
    if (countOf(state->establishedPerAddress, address) >= state->establishedCap()) return false;
    counted_ = false;
    established_ = true;
    countDown(state->perAddress, address);
    countUp(state->establishedPerAddress, address);
    return true;
  }

  const std::shared_ptr<RelayState> state;
  const std::string address;

 private:
  bool counted_ = true;
  bool established_ = false;
};

}  // namespace qova::server

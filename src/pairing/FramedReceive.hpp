#pragma once
// The receive loop both ends of pairing run on their one connection: chunks of 1 … 8192
// bytes go into the owner's buffer and through its message handling; the end of the stream
// or an error ends the exchange. Internal to the pairing module.

#include "platform/network/Connection.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ravnix::detail {

inline constexpr std::size_t pairingReceiveMaximum = 8192;

// `Owner` has: connection, buffer, isCurrent(which), handleMessages(which), streamEnded().
// Events of an exchange that is no longer current are dropped.
template <typename Owner> void receiveFrames(Owner& owner, std::uint64_t which) {
    owner.connection->receive(1, pairingReceiveMaximum,
                              [weak = owner.weak_from_this(),
                               which](std::span<const std::uint8_t> content, bool isComplete,
                                      const std::optional<NetworkError>& failure) {
                                  auto self = weak.lock();
                                  if (!self || !self->isCurrent(which)) {
                                      return;
                                  }
                                  if (!content.empty()) {
                                      self->buffer.insert(self->buffer.end(), content.begin(),
                                                          content.end());
                                      self->handleMessages(which);
                                      if (!self->isCurrent(which)) {
                                          return;
                                      }
                                  }
                                  if (!isComplete && !failure) {
                                      receiveFrames(*self, which);
                                  } else {
                                      self->streamEnded();
                                  }
                              });
}

} // namespace ravnix::detail

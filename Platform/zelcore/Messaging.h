#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "zelcore/Export.h"
#include "zelcore/Guid.h"

// A process-wide message bus: listeners subscribe to a target, and a broadcast to that target reaches each
// of them asynchronously on the default executor.
//
// Guarantees: a listener receives the messages of its subscription one at a time, in the order in which
// they were broadcast (from one thread); it is never called after Unsubscribe of its subscription has
// returned; a listener that throws is logged through logging::LogException and the bus carries on.
// Every function may be called from any thread, including from a listener.
namespace zelcore::messaging {

using MessageID = std::uint64_t;

// The stable id of a message type name: 64-bit FNV-1a of its bytes, so ids may be computed at compile time
// and agree across modules and runs.
constexpr MessageID HashMessageTypeNameToMessageID(std::string_view typeName) noexcept {
  MessageID hash = 0xcbf29ce484222325ull;
  for (char const c : typeName) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// What messages are addressed to: usually the GUID of the object they are about.
using TargetID = utility::Guid;

// A message: its type id and a payload whose type the message type defines.
struct Message {
  MessageID id = 0;
  std::any payload;

  // The payload as a T, or null when it holds something else.
  template <class T>
  T const* PayloadAs() const {
    return std::any_cast<T>(&payload);
  }
};
using MessagePtr = std::shared_ptr<Message const>;

inline MessagePtr MakeMessage(std::string_view typeName, std::any payload = {}) {
  return std::make_shared<Message const>(Message{HashMessageTypeNameToMessageID(typeName), std::move(payload)});
}

using Listener = std::function<void(MessagePtr const& message)>;
// Identifies one subscription; never 0.
using SubscriptionID = std::uint64_t;

// Subscribes `listener` to the messages broadcast to `target` from now on. Throws config::zel_exception
// kResultNullPointer for an empty listener.
ZELCORE_EXPORT SubscriptionID Subscribe(TargetID const& target, Listener listener);
// Ends a subscription: messages still waiting for it are dropped. When called from another thread while the
// listener runs, waits for that call to return (so a listener must not wait for a thread that unsubscribes
// it); called from within the listener itself, it returns at once. Returns whether the subscription existed.
ZELCORE_EXPORT bool Unsubscribe(SubscriptionID subscription);
// Posts `message` to every listener subscribed to `target` and returns at once with how many there were.
// Throws config::zel_exception kResultNullPointer for a null message.
ZELCORE_EXPORT std::size_t AsyncBroadcastMessagePtr(TargetID const& target, MessagePtr message);

// A subscription that ends when this object is destroyed.
class ScopedSubscription {
 public:
  ScopedSubscription() = default;
  ScopedSubscription(TargetID const& target, Listener listener) : id_(Subscribe(target, std::move(listener))) {}
  ScopedSubscription(ScopedSubscription&& other) noexcept : id_(std::exchange(other.id_, 0)) {}
  ScopedSubscription& operator=(ScopedSubscription&& other) noexcept {
    if (this != &other) {
      Reset();
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  ~ScopedSubscription() { Reset(); }

  void Reset() {
    if (id_ != 0) Unsubscribe(std::exchange(id_, 0));
  }
  SubscriptionID id() const { return id_; }

 private:
  SubscriptionID id_ = 0;
};

}  // namespace zelcore::messaging

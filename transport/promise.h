#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace mach {

// The completion of one request: the handler (or whoever it hands the promise to, on any
// thread, possibly much later) sets the value, and the reply goes out. Copies refer to the
// same completion.
//
// A promise answers at most once: the first SetValue sends the reply, later ones are
// dropped, even when several threads set it at the same time. A promise that is never set
// sends nothing; the reply port it holds is released when the last copy goes away, and the
// requester then gets a send-once notification instead of a reply. A pending promise does
// not keep its server alive, only its reply port.
template <typename... R>
class Promise {
 public:
  using ReplyFunction = std::function<void(R...)>;

  explicit Promise(ReplyFunction reply) : state_(std::make_shared<State>(std::move(reply))) {}

  // Sends the reply with `values`, unless the promise was set before.
  void SetValue(R... values) const {
    if (state_->done.exchange(true)) return;
    state_->reply(std::move(values)...);
    // The reply right is consumed by now; dropping the function releases what it still holds.
    state_->reply = nullptr;
  }

  bool IsSet() const { return state_->done.load(); }

 private:
  struct State {
    explicit State(ReplyFunction function) : reply(std::move(function)) {}
    std::atomic<bool> done{false};
    ReplyFunction reply;
  };
  std::shared_ptr<State> state_;
};

}  // namespace mach

#pragma once

// Owned message-port rights.
//
//   mcom::Result<mach::PortRight<mach::Receive>> port = mach::AllocateReceiveRight();
//   mach::Make<mach::PortRight<mach::Send>> send(*port);  // a send right made when sent
//
// A PortRight holds one user reference of a port name and releases it when destroyed; the
// name 0 means empty and releases nothing. Rights are move-only: a right has one owner.

#include <system_error>
#include <utility>

#include "core/foundation/result.h"
#include "transport/mach.h"

namespace mach {

// The kind of right a PortRight holds; the values are the platform's right numbers.
enum PortRightType : mach_port_right_t {
  Send = MACH_PORT_RIGHT_SEND,
  Receive = MACH_PORT_RIGHT_RECEIVE,
  SendOnce = MACH_PORT_RIGHT_SEND_ONCE,
};

template <PortRightType Type>
class PortRight {
 public:
  PortRight() = default;
  // Takes over one reference of `name`.
  explicit PortRight(mach_port_t name) : name_(name) {}
  ~PortRight() { reset(); }

  PortRight(PortRight&& other) noexcept : name_(other.release()) {}
  PortRight& operator=(PortRight&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  PortRight(const PortRight&) = delete;
  PortRight& operator=(const PortRight&) = delete;

  mach_port_t get() const { return name_; }
  explicit operator bool() const { return name_ != MACH_PORT_NULL; }

  // Gives the reference up without releasing it; the caller (or a message) now owns it.
  [[nodiscard]] mach_port_t release() { return std::exchange(name_, MACH_PORT_NULL); }

  // Releases the held reference (mach_port_mod_refs with delta -1) and takes over `name`.
  void reset(mach_port_t name = MACH_PORT_NULL) {
    const mach_port_t old = std::exchange(name_, name);
    if (old != MACH_PORT_NULL) mach_port_mod_refs(mach_task_self(), old, Type, -1);
  }

 private:
  mach_port_t name_ = MACH_PORT_NULL;
};

// A right that the sender makes at the moment of sending from a receive right it holds.
template <typename Right>
struct Make;

// A send right made from a receive right (disposition make-send). The receive right must
// still be held when the message is sent; the receiver gets an ordinary PortRight<Send>.
template <>
struct Make<PortRight<Send>> {
  explicit Make(const PortRight<Receive>& receive) : name(receive.get()) {}
  mach_port_t name;
};

// A new receive right in this process (mach_port_allocate), or the kernel's code in the
// "mach" category.
mcom::Result<PortRight<Receive>> AllocateReceiveRight();

}  // namespace mach

#pragma once

// Owned message-port rights.
//
//   mcom::Result<mach::PortRight<mach::Receive>> port = mach::AllocateReceiveRight();
//   mach::Make<mach::PortRight<mach::Send>> send(*port);  // a send right made when sent
//
// A PortRight holds one user reference of a port name and releases it when destroyed; the
// name 0 means empty and releases nothing. Rights are move-only: a right has one owner.

#include <system_error>

#include "core/foundation/result.h"
#include "platform/posix/scoped_generic.h"
#include "transport/mach.h"

namespace mach {

// The kind of right a PortRight holds; the values are the platform's right numbers.
enum PortRightType : mach_port_right_t {
  Send = MACH_PORT_RIGHT_SEND,
  Receive = MACH_PORT_RIGHT_RECEIVE,
  SendOnce = MACH_PORT_RIGHT_SEND_ONCE,
};

// Releases one user reference of a name of kind `Type` (mach_port_mod_refs with delta -1).
template <PortRightType Type>
struct PortRightTraits {
  static mach_port_t InvalidValue() { return MACH_PORT_NULL; }
  static void Free(mach_port_t name) { mach_port_mod_refs(mach_task_self(), name, Type, -1); }
};

// Constructing one from a name takes over one reference of it; get(), release() and reset()
// are those of the generic owner.
template <PortRightType Type>
using PortRight = mcom::ScopedGeneric<mach_port_t, PortRightTraits<Type>>;

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

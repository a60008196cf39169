#pragma once

#include "transport/mach.h"

namespace mach {

// The decoded no-senders notification: how many send rights the port had made when the last
// of them went away. Handlers may ignore it.
struct NoSendersInfo {
  mach_port_mscount_t make_send_count = 0;
};

}  // namespace mach

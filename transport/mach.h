#pragma once

// The message-port interface of the platform, under the Mach names that the transport is
// written against. The Mac has the real one; every other system gets the stand-in over Unix
// sockets (mach_stand_in_linux.h). Server and client code include only this header, so both compile
// against one set of names wherever they are built.

#if defined(__APPLE__)
#include <mach/mach.h>
#include <mach/mig_errors.h>
#include <servers/bootstrap.h>
extern "C" int fileport_makeport(int fd, mach_port_t* port);
extern "C" int fileport_makefd(mach_port_t port);
#else
#include "transport/mach_stand_in_linux.h"
#endif

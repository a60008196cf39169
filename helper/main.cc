// The privileged helper: a root daemon the launcher starts on the first message to its
// service name. It hands sessions to the maker's signed application and does the privileged
// work those sessions ask for.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "core/foundation/dispatch.h"
#include "helper/helper_service.h"
#include "helper/launch_log.h"
#include "transport/mach.h"
#include "transport/message_catalogue.h"
#include "transport/port_right.h"

int main() {
  helper::CleanUpAndLogLaunch();

  mach_port_t service = MACH_PORT_NULL;
  const kern_return_t checked_in =
      bootstrap_check_in(bootstrap_port, mach::kHelperServiceName, &service);
  if (checked_in != KERN_SUCCESS) {
    const std::string line = "bootstrap_check_in failed: " + std::to_string(checked_in) + ": " +
                             std::system_category().message(checked_in) + "\n";
    std::fputs(line.c_str(), stderr);
    std::exit(1);
  }
  // The main-queue server is set up from the main queue, which dispatch::Main serves.
  dispatch::Async(dispatch::MainQueue(),
                  [service] { helper::ServeHelperPorts(mach::PortRight<mach::Receive>(service)); });
  dispatch::Main();
}

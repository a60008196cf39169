#include "helper/helper_service.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "core/backup/replication.h"
#include "core/foundation/dispatch.h"
#include "core/foundation/error.h"
#include "helper/authorization_form.h"
#include "helper/code_signing.h"
#include "helper/log_collection.h"
#include "helper/operation_handler.h"
#include "helper/recovery_media/build_recovery.h"
#include "transport/message_catalogue.h"
#include "transport/server.h"

namespace helper {
namespace {

constexpr std::chrono::seconds kIdleTime(5);

// The objects of a serving helper.
struct HelperPorts {
  mach::PortRight<mach::Receive> service;
  mach::PortRight<mach::Receive> session;
  std::optional<mach::Server> service_server;
  std::optional<mach::Server> session_server;
  mcom::DispatchSource idle_timer;
};

// Made once and never destroyed, see the header.
HelperPorts* serving_ports = nullptr;

void ArmIdleTimer(const mcom::DispatchSource& timer) {
  mcom::SetTimer(timer, dispatch::After(kIdleTime), dispatch::kForever, /*repeat=*/false);
}

void DisarmIdleTimer(const mcom::DispatchSource& timer) {
  mcom::SetTimer(timer, dispatch::kForever, dispatch::kForever, /*repeat=*/false);
}

void CreateSession(HelperPorts& ports, const mcom::AuditToken& sender,
                   const mach::Promise<mach::Make<mach::PortRight<mach::Send>>>& promise) {
  // A refused caller gets no reply; the checks have logged why.
  if (!IsCallerAllowed(sender)) return;
  DisarmIdleTimer(ports.idle_timer);
  // Asked for once this handler has returned, when the reply has given the caller its
  // right: asked for earlier, it could fire before that right exists.
  dispatch::Async(dispatch::MainQueue(), [&ports] {
    ports.session_server->RequestNoSendersNotification([&ports](mach::NoSendersInfo) {
      std::puts("no sessions!");
      std::fflush(stdout);
      ArmIdleTimer(ports.idle_timer);
      return true;
    });
  });
  promise.SetValue(mach::Make<mach::PortRight<mach::Send>>(ports.session));
}

void GetAuthorization(const mach::Promise<AuthorizationExternalForm>& promise) {
  if (const std::optional<AuthorizationExternalForm> form = BlessAuthorizationForm()) {
    promise.SetValue(*form);
  }
}

}  // namespace

void ServeHelperPorts(mach::PortRight<mach::Receive> service) {
  serving_ports = new HelperPorts;
  HelperPorts& ports = *serving_ports;
  ports.service = std::move(service);
  ports.service_server.emplace(ports.service, mach::Server::MainQueue{});

  mcom::Result<mcom::DispatchSource> timer = mcom::CreateTimerSource(dispatch::MainQueue());
  if (!timer) {
    std::fprintf(stderr, "cannot create the idle timer: %s\n", timer.error().message().c_str());
    std::exit(1);
  }
  ports.idle_timer = std::move(*timer);
  // A replication may still run on a worker thread: exit() would destroy the objects it
  // uses (the log's, for one) under its feet, so the process ends without destructors.
  ports.idle_timer.SetEventHandler([] {
    std::fflush(nullptr);
    std::_Exit(0);
  });
  ArmIdleTimer(ports.idle_timer);
  ports.idle_timer.Resume();

  mcom::Result<mach::PortRight<mach::Receive>> session = mach::AllocateReceiveRight();
  if (!session) {
    std::fprintf(stderr, "cannot allocate the session port: %s\n",
                 session.error().message().c_str());
    std::exit(1);
  }
  ports.session = std::move(*session);
  ports.session_server.emplace(ports.session, mach::Server::GlobalQueue{});

  ports.service_server->AddHandler(
      mach::kCreateSessionId,
      [&ports](const mcom::AuditToken& sender,
               const mach::Promise<mach::Make<mach::PortRight<mach::Send>>>& promise) {
        CreateSession(ports, sender, promise);
      });
  AddOperationHandlerImpl(mcom::types<APFSContainerName, APFSContainerName>{},
                          *ports.session_server, mach::kReplicateContainerId, &ReplicateContainer);
  ports.session_server->AddHandler(mach::kCollectLogsId, &CollectLogs);
  ports.session_server->AddHandler(
      mach::kBuildRecoveryId,
      [](mcom::DiskName target, mach::PortRight<mach::Send> progress,
         const mcom::AuditToken& sender, const mach::Promise<std::optional<Error>>& promise) {
        promise.SetValue(BuildRecovery(target, std::move(progress), sender));
      });
  ports.session_server->AddHandler(mach::kGetAuthorizationId, &GetAuthorization);

  ports.session_server->Resume();
  ports.service_server->Resume();
}

}  // namespace helper

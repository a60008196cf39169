#include "transport/test_children.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "core/foundation/dispatch.h"
#include "core/foundation/process.h"
#include "core/foundation/system_path.h"
#include "core/foundation/temporary_directory.h"
#include "tests/support/child_process.h"
#include "transport/call.h"
#include "transport/create_session.h"
#include "transport/message_buffer.h"
#include "transport/message_catalogue.h"
#include "transport/message_writer.h"
#include "transport/progress_message.h"
#include "transport/server.h"

namespace transport_testing {

namespace {

// The servers of these tests check in names that no launcher handed them
// (mach_stand_in_linux.h). Set before main, so the test process and every child mode it
// re-runs allow it.
[[maybe_unused]] const bool self_check_in =
    ::setenv("DORVANE_BOOTSTRAP_SELF_CHECK_IN", "1", 1) == 0;

void PrintLine(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

std::atomic<int> no_senders_seen{0};
dispatch::Semaphore acknowledged(0);

void SendUntilGone(const mach::PortRight<mach::Send>& progress) {
  for (int index = 0; index < 100000; ++index) {
    if (mach::SendProgress(progress, "late " + std::to_string(index)) != MACH_MSG_SUCCESS) return;
  }
}

void Replicate(APFSContainerName source, APFSContainerName target,
               mach::PortRight<mach::Send> progress, mach::Promise<std::optional<Error>> promise) {
  switch (source.name.disk) {
    case 1: {
      const uint32_t count = target.name.disk;
      for (uint32_t index = 0; index < count; ++index) {
        const ProgressUpdate update = index % 2 == 0
                                          ? ProgressUpdate(double(index) / count)
                                          : ProgressUpdate("step " + std::to_string(index));
        mach::SendProgress(progress, update);
      }
      // Progress still queued when the reply arrives is dropped with the port; the client
      // acknowledges the last update (with a GetAuthorization request) before the reply goes.
      if (count > 0) acknowledged.Wait(dispatch::After(std::chrono::seconds(60)));
      promise.SetValue(std::nullopt);
      SendUntilGone(progress);
      return;
    }
    case 2:
      promise.SetValue(Error("ReplicateContainer", "failed", Error("asr", "boom")));
      return;
    case 3:
      return;
    case 4:
      std::_Exit(0);
    default:
      promise.SetValue(Error("echo", FormatDiskName(source)));
      return;
  }
}

}  // namespace

}  // namespace transport_testing

using transport_testing::PrintLine;

namespace transport_testing {
namespace {

void ServeSessions(const std::string& root, bool refuse) {
  mach_port_t service_name = MACH_PORT_NULL;
  if (bootstrap_check_in(bootstrap_port, mach::kHelperServiceName, &service_name) != 0) {
    std::_Exit(3);
  }
  static mach::PortRight<mach::Receive> service(service_name);
  static mach::PortRight<mach::Receive> session = mach::AllocateReceiveRight().value();
  static mach::Server service_server(service, mach::Server::MainQueue{});
  static mach::Server session_server(session, mach::Server::GlobalQueue{});

  service_server.AddHandler(
      mach::kCreateSessionId,
      [refuse](const mcom::AuditToken&,
               mach::Promise<mach::Make<mach::PortRight<mach::Send>>> promise) {
        if (refuse) return;
        dispatch::Async(dispatch::MainQueue(), [] {
          session_server.RequestNoSendersNotification([](mach::NoSendersInfo) {
            ++transport_testing::no_senders_seen;
            PrintLine("no sessions!");
            return true;
          });
        });
        promise.SetValue(mach::Make<mach::PortRight<mach::Send>>(session));
      });
  session_server.AddHandler(mach::kReplicateContainerId, &transport_testing::Replicate);
  session_server.AddHandler(mach::kCollectLogsId, [root](mach::Promise<mcom::File> promise) {
    const mcom::FilePath path = mcom::FilePath(root).Join("archive-" + std::to_string(getpid()));
    mcom::Result<mcom::File> file = mcom::Open(
        path, mcom::kOpenRead | mcom::kOpenWrite | mcom::kOpenCreate | mcom::OpenMode(0600));
    if (!file) return;
    const std::string contents = "log archive of " + std::to_string(getpid());
    (void)file->WriteAll(contents.data(), contents.size());
    ::lseek(file->get(), 0, SEEK_SET);
    promise.SetValue(std::move(*file));
  });
  session_server.AddHandler(
      mach::kBuildRecoveryId,
      [](mcom::DiskName target, mach::PortRight<mach::Send>, const mcom::AuditToken& sender,
         mach::Promise<std::optional<Error>> promise) {
        promise.SetValue(Error("BuildRecovery",
                               std::to_string(sender.pid()) + " " + mcom::FormatDiskName(target)));
      });
  session_server.AddHandler(
      mach::kGetAuthorizationId, [](mach::Promise<AuthorizationExternalForm> promise) {
        transport_testing::acknowledged.Signal();
        AuthorizationExternalForm form{};
        form.bytes[0] = static_cast<char>(transport_testing::no_senders_seen.load());
        for (int index = 1; index < 32; ++index) form.bytes[index] = char(index);
        promise.SetValue(form);
      });
  session_server.Resume();
  service_server.Resume();
  PrintLine("ready");
}

}  // namespace
}  // namespace transport_testing

DORVANE_TEST_CHILD(session_server) {
  if (arguments.size() < 2) return 2;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  dispatch::Async(dispatch::MainQueue(), [root = arguments[0], refuse = arguments[1] == "refuse"] {
    transport_testing::ServeSessions(root, refuse);
  });
  dispatch::Main();
}

DORVANE_TEST_CHILD(wrong_reply_server) {
  if (arguments.empty()) return 2;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  mach_port_t service_name = MACH_PORT_NULL;
  if (bootstrap_check_in(bootstrap_port, mach::kHelperServiceName, &service_name) != 0) return 3;
  mach::PortRight<mach::Receive> service(service_name);
  mach::PortRight<mach::Receive> session = mach::AllocateReceiveRight().value();
  PrintLine("ready");
  for (;;) {
    mcom::Result<mach::MessageBuffer> request = mach::MessageBuffer::Receive(service.get(), 1024);
    if (!request) continue;
    mach::PortRight<mach::SendOnce> reply = request->TakeReplyPort();
    if (!reply) continue;
    constexpr mach::MessageShape shape = mach::CreateSessionRequest::kReply;
    alignas(8) uint8_t storage[shape.size];
    mach::MessageWriter writer(storage, shape, mach::kReplyBits, reply.get(), MACH_PORT_NULL,
                               request->id() + mach::kReplyIdOffset + 1);
    writer.PutPort(session.get(), MACH_MSG_TYPE_MAKE_SEND);
    if (mach_msg(writer.header(), MACH_SEND_MSG, shape.size, 0, MACH_PORT_NULL, 0,
                 MACH_PORT_NULL) == MACH_MSG_SUCCESS) {
      (void)reply.release();
    }
  }
}

DORVANE_TEST_CHILD(session_client) {
  if (arguments.empty()) return 2;
  mcom::SetSystemRoot(mcom::FilePath(arguments[0]));
  std::variant<mach::Session, Error> session = mach::CreateSession();
  if (std::holds_alternative<Error>(session)) {
    PrintLine("error " + std::get<Error>(session).FullDescription());
    return 1;
  }
  PrintLine("session");
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line != "ping") continue;
    auto reply = mach::Call<mach::GetAuthorizationRequest>(mach::kGetAuthorizationId,
                                                           std::get<mach::Session>(session).port);
    PrintLine(reply ? "count " + std::to_string(int(reply->value.bytes[0]))
                    : "error " + reply.error().message());
  }
  return 0;
}

#pragma once

// Every message between the application and the helper. The service port (checked in under
// kHelperServiceName) serves CreateSession; the session port it hands out serves the work
// requests and receives the no-senders notification; a progress port, created by the caller
// of a long request and lent to the helper, receives the progress messages.
//
//   message                  id   bits        size  body
//   CreateSession            200  0x00001513    24  none
//     reply                  300  0x80000012    40  port at 28: session port, make-send
//   replicate                200  0x80001513    72  region at 28 (source), 44 (target),
//                                                   port at 60: progress port, make-send
//     reply                  300  0x80000012    44  region at 28: std::optional<Error>
//   CollectLogs              201  0x00001513    24  none
//     reply                  301  0x80000012    40  port at 28: file port, move-send
//   BuildRecovery            202  0x80001513    56  region at 28 (target disk), port at 44
//     reply                  302  0x80000012    44  region at 28: std::optional<Error>
//   GetAuthorization         203  0x00001513    24  none
//     reply                  303  0x00000012    56  32 bytes at 24: external form
//   no-senders (kernel)       70  not complex   36  format record, make-send count at 32
//   ProgressMessage          200  0x80000013    44  region at 28: ProgressUpdate
//
// The largest request of the service port is 24 bytes, of the session port 72; every
// receive adds the 52-byte trailer.

#include <optional>

#include "core/foundation/disk_name.h"
#include "core/foundation/error.h"
#include "core/foundation/file.h"
#include "transport/args_traits.h"
#include "transport/authorization_external_form.h"
#include "transport/no_senders_info.h"
#include "transport/port_right.h"
#include "transport/progress_update.h"

namespace mach {

// The name the helper checks in with the bootstrap server.
inline constexpr char kHelperServiceName[] = "com.halvex-software.Dorvane.helper";

inline constexpr mach_msg_id_t kCreateSessionId = 200;
inline constexpr mach_msg_id_t kReplicateContainerId = 200;
inline constexpr mach_msg_id_t kCollectLogsId = 201;
inline constexpr mach_msg_id_t kBuildRecoveryId = 202;
inline constexpr mach_msg_id_t kGetAuthorizationId = 203;
inline constexpr mach_msg_id_t kProgressMessageId = 200;
inline constexpr mach_msg_id_t kNoSendersId = MACH_NOTIFY_NO_SENDERS;

// Service port. The handler receives the caller's audit token.
using CreateSessionRequest = ArgsTraits<mcom::types<>, mcom::types<Make<PortRight<Send>>>, true>;

// Session port.
using ReplicateContainerRequest =
    ArgsTraits<mcom::types<APFSContainerName, APFSContainerName, PortRight<Send>>,
               mcom::types<std::optional<Error>>, false>;
using CollectLogsRequest = ArgsTraits<mcom::types<>, mcom::types<mcom::File>, false>;
using BuildRecoveryRequest = ArgsTraits<mcom::types<mcom::DiskName, PortRight<Send>>,
                                        mcom::types<std::optional<Error>>, true>;
using GetAuthorizationRequest =
    ArgsTraits<mcom::types<>, mcom::types<AuthorizationExternalForm>, false>;
using NoSendersNotification = ArgsTraits<mcom::types<NoSendersInfo>, void, false>;

// Progress port.
using ProgressMessage = ArgsTraits<mcom::types<ProgressUpdate>, void, false>;

inline constexpr mach_msg_size_t kServicePortLargestRequest = CreateSessionRequest::kRequest.size;
inline constexpr mach_msg_size_t kSessionPortLargestRequest =
    ReplicateContainerRequest::kRequest.size;

static_assert(CreateSessionRequest::kRequest == MessageShape{24, 0});
static_assert(CreateSessionRequest::kReply == MessageShape{40, 1});
static_assert(ReplicateContainerRequest::kRequest == MessageShape{72, 3});
static_assert(ReplicateContainerRequest::kReply == MessageShape{44, 1});
static_assert(CollectLogsRequest::kRequest == MessageShape{24, 0});
static_assert(CollectLogsRequest::kReply == MessageShape{40, 1});
static_assert(BuildRecoveryRequest::kRequest == MessageShape{56, 2});
static_assert(BuildRecoveryRequest::kReply == MessageShape{44, 1});
static_assert(GetAuthorizationRequest::kRequest == MessageShape{24, 0});
static_assert(GetAuthorizationRequest::kReply == MessageShape{56, 0});
static_assert(NoSendersNotification::kRequest == MessageShape{36, 0});
static_assert(!NoSendersNotification::kHasReply);
static_assert(ProgressMessage::kRequest == MessageShape{44, 1});
static_assert(kServicePortLargestRequest == 24 && kSessionPortLargestRequest == 72);
static_assert(kRequestBits == 0x1513 && kReplyBits == 0x12 && kOneWayBits == 0x13);
static_assert(CreateSessionRequest::kReply.size + kTrailerSize == 92);
static_assert(ReplicateContainerRequest::kReply.size + kTrailerSize == 96);
static_assert(GetAuthorizationRequest::kReply.size + kTrailerSize == 108);
static_assert(ProgressMessage::kRequest.size + kTrailerSize == 96);

}  // namespace mach

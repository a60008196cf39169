#pragma once

// Code-signing checks of the helper and its clients: who may have a session, what a signed
// program says about itself, and which kind of certificate the helper was signed with.
//
// Every wrapper logs its failure at error level and throws std::system_error with the
// status in the "security" category; callers decide what a failure means.

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/file_path.h"
#include "platform/security/code_signing.h"
#include "transport/audit_token.h"

namespace helper {

inline constexpr char kTeamIdentifier[] = "Q4T7ZK2W9M";
inline constexpr char kApplicationIdentifier[] = "com.halvex-software.Dorvane";
inline constexpr char kCommandLineClientIdentifier[] = "com.halvex-software.Dorvane.cli";

// True: the Developer ID application certificate; false: the development certificate.
using CertificateKind = bool;

using Code = platform::ScopedSecCode;
using StaticCode = platform::ScopedSecStaticCode;
using Requirement = platform::ScopedSecRequirement;

struct SigningInformation {
  std::string identifier;
  mcom::FilePath executable;
  std::string team_identifier;
  mcom::cf::Ref<mcom::cf::Dictionary> info_plist;
  std::optional<std::chrono::system_clock::time_point> signing_time;
  std::array<uint8_t, 20> code_directory_hash{};  // all zero when absent or not 20 bytes
};

// The requirement for the maker's code of one certificate kind, with the identifier when one
// is given. Without one the text has two blanks in a row after "anchor trusted".
std::string MakeRequirementString(const std::optional<std::string>& identifier,
                                  const std::string& team_identifier, CertificateKind kind);

Code CopySelfCode();
// The code of the process that sent a request with `token`: that process instance only (its
// id and pid version), never a later process given the same id.
Code CopyGuestCode(const mcom::AuditToken& token);
StaticCode CreateStaticCode(const mcom::FilePath& path);
Requirement CreateRequirement(const std::string& text);

void ValidateCode(platform::SecCodeRef code, const std::optional<std::string>& identifier,
                  const std::string& team_identifier, CertificateKind kind);
void ValidateStaticCode(platform::SecStaticCodeRef code,
                        const std::optional<std::string>& identifier,
                        const std::string& team_identifier, CertificateKind kind);

SigningInformation CopySigningInformation(platform::SecCodeRef code);
SigningInformation CopySigningInformation(platform::SecStaticCodeRef code);

// The kind of certificate this process is signed with, found once. A process signed with
// neither kind by the maker's team logs "invalid signature: …" and exits with status 1, at
// this call and every later one.
CertificateKind SelfCertificateKind();

// Whether the sender of a request may have a session: signed by the maker's team with the
// helper's kind of certificate, and the application, or the command-line client running as
// root.
bool IsCallerAllowed(const mcom::AuditToken& token);

}  // namespace helper

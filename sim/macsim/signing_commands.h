#pragma once

#include <cstdint>
#include <string>

#include "core/foundation/file_path.h"

// The signing commands of `macsim`, in the form of the others (macsim_commands.h).
namespace macsim {

// macsim sign FILE --identity NAME --identifier ID [--info-plist PLIST] [--time SECONDS]:
// signs FILE in place with a test identity (sim/signature/test_identities.h), embedding the
// information property list PLIST when given; a signature already there is replaced. The
// signing time is now unless given (seconds since 1970).
void SignCommand(const mcom::FilePath& file, const std::string& identity,
                 const std::string& identifier, const std::string& info_plist,
                 const std::string& time);

// macsim signature ROOT FILE: what FILE's signature says and whether the machine at ROOT
// trusts it, as "Key=value" lines and a last line with the verdict ("valid on disk", else
// the platform's text of what is wrong). Returns 0 when valid, 1 otherwise.
int SignatureCommand(const mcom::FilePath& root, const mcom::FilePath& file);

}  // namespace macsim

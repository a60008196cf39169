#pragma once

#include <string>
#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"

namespace mcom::cf {

// The error domain of OSStatus values (kCFErrorDomainOSStatus).
inline constexpr std::string_view kErrorDomainOSStatus = "NSOSStatusErrorDomain";

// An error object (CFError): a domain, a code and a dictionary of further information, as
// the platform's frameworks hand out through their "WithErrors" calls. Not a property-list
// value.
class Error final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kError;

  // CFErrorCreate. `user_info` may be null (no further information).
  static Ref<Error> Create(std::string_view domain, long code, Ref<Dictionary> user_info);

  const std::string& domain() const { return domain_; }
  long code() const { return code_; }
  // Never null: empty when the error was made without information.
  const Ref<Dictionary>& user_info() const { return user_info_; }

  // What "%@" shows (CFCopyDescription): the domain, the code, the localized description
  // ("(null)" without one) and the information with string values, in key order:
  //   Error Domain=NSOSStatusErrorDomain Code=-67050 "(null)"
  //   Error Domain=NSOSStatusErrorDomain Code=-67052 "(null)" UserInfo={SecRequirementSyntax=…}
  std::string Description() const;

  Error(Passkey, std::string domain, long code, Ref<Dictionary> user_info)
      : Object(kTypeId),
        domain_(std::move(domain)),
        code_(code),
        user_info_(std::move(user_info)) {}

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  std::string domain_;
  long code_;
  Ref<Dictionary> user_info_;
};

}  // namespace mcom::cf

#include "core/foundation/cf_error.h"

#include <utility>

#include "core/foundation/cf_string.h"

namespace mcom::cf {

Ref<Error> Error::Create(std::string_view domain, long code, Ref<Dictionary> user_info) {
  if (!user_info) user_info = Dictionary::Create(Dictionary::Entries{});
  return Make<Error>(std::string(domain), code, std::move(user_info));
}

std::string Error::Description() const {
  const std::optional<std::string> localized = GetString(user_info_, "NSLocalizedDescription");
  std::string text = "Error Domain=" + domain_ + " Code=" + std::to_string(code_) + " \"" +
                     localized.value_or("(null)") + "\"";
  std::string information;
  for (const auto& [key, value] : *user_info_) {
    const Ref<String> string = As<String>(value);
    if (!string || key == "NSLocalizedDescription") continue;
    information += (information.empty() ? "" : ", ") + key + "=" + string->utf8();
  }
  if (!information.empty()) text += " UserInfo={" + information + "}";
  return text;
}

bool Error::EqualTo(const Object& other, int depth_left) const {
  const auto& error = static_cast<const Error&>(other);
  return domain_ == error.domain_ && code_ == error.code_ &&
         EqualWithin(*user_info_, *error.user_info_, depth_left);
}

}  // namespace mcom::cf

#include "core/foundation/log.h"

// Placeholder until the renderer lands: the format text alone, nothing written.

namespace mcom::log {

int64_t Argument::as_signed() const { return kind_ == Kind::kSigned ? signed_ : 0; }
uint64_t Argument::as_unsigned() const { return kind_ == Kind::kUnsigned ? unsigned_ : 0; }
double Argument::as_double() const { return kind_ == Kind::kDouble ? double_ : 0; }
std::string_view Argument::as_string() const { return string_; }

std::string Render(const char* format, std::initializer_list<Argument>) { return format; }
void Write(Level, const char*, std::initializer_list<Argument>) noexcept {}
bool IsEnabled(Level) { return true; }
void SetMirrorToStandardError(bool) {}

}  // namespace mcom::log

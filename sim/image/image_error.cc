#include "sim/image/image_error.h"

#include <string>

namespace sim {
namespace {

class ImageCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "sim::image"; }
  std::string message(int code) const override {
    switch (static_cast<ImageErrc>(code)) {
      case ImageErrc::kNotRecognized:
        return "image not recognized";
      case ImageErrc::kCorrupt:
        return "corrupt image";
      case ImageErrc::kUnsafePayload:
        return "unsafe payload entry";
    }
    return "unknown image error " + std::to_string(code);
  }
};

}  // namespace

const std::error_category& image_category() {
  static const ImageCategory category;
  return category;
}

std::error_code make_error_code(ImageErrc error) {
  return std::error_code(static_cast<int>(error), image_category());
}

}  // namespace sim

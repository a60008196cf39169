#include "app/model/io_kit.h"

#include <system_error>

#include "core/discovery/service_property.h"
#include "platform/iokit/io_kit_lib.h"

namespace app::IOKit {

const std::string& Service::ClassName() const {
  if (!class_name_) class_name_ = mcom::iokit::ClassName(service_);
  return *class_name_;
}

std::optional<Service> Service::Parent() const { return Iterator::Parents(*this).Next(); }

std::string Service::Name() const {
  platform::io_name_t name = {};
  if (platform::IORegistryEntryGetName(service_.get(), name) != platform::kIOReturnSuccess) {
    return {};
  }
  return name;
}

mcom::cf::Ref<mcom::cf::Object> Service::Property(std::string_view key) const {
  return mcom::iokit::CopyProperty(service_, key);
}

mcom::cf::Ref<mcom::cf::String> Service::StringProperty(std::string_view key) const {
  return mcom::iokit::StringProperty(service_, key);
}

Iterator Iterator::Children(const Service& service) {
  platform::io_iterator_t iterator = platform::IO_OBJECT_NULL;
  platform::IORegistryEntryGetChildIterator(service.handle().get(), platform::kIOServicePlane,
                                            &iterator);
  return Iterator(mcom::iokit::RegistryIterator(iterator));
}

Iterator Iterator::Parents(const Service& service) {
  platform::io_iterator_t iterator = platform::IO_OBJECT_NULL;
  platform::IORegistryEntryGetParentIterator(service.handle().get(), platform::kIOServicePlane,
                                             &iterator);
  return Iterator(mcom::iokit::RegistryIterator(iterator));
}

std::optional<Service> Iterator::Next() {
  if (!iterator_.is_valid()) return std::nullopt;
  const platform::io_object_t object = platform::IOIteratorNext(iterator_.get());
  if (object == platform::IO_OBJECT_NULL) return std::nullopt;
  return Service(mcom::iokit::Service(object));
}

ServiceQuery::ServiceQuery(Query query, Predicate predicate)
    : query_(std::move(query)), predicate_(std::move(predicate)) {}

ServiceQuery ServiceQuery::Matching(mcom::cf::Ref<mcom::cf::Dictionary> dictionary,
                                    Predicate predicate) {
  return ServiceQuery(MatchingServices{std::move(dictionary)}, std::move(predicate));
}

ServiceQuery ServiceQuery::MatchingClass(std::string_view class_name, Predicate predicate) {
  return Matching(platform::IOServiceMatching(std::string(class_name).c_str()),
                  std::move(predicate));
}

ServiceQuery ServiceQuery::MatchingBSDName(std::string_view bsd_name, Predicate predicate) {
  return Matching(
      platform::IOBSDNameMatching(platform::kIOMainPortDefault, 0, std::string(bsd_name).c_str()),
      std::move(predicate));
}

ServiceQuery ServiceQuery::Children(Predicate predicate) const {
  return ServiceQuery(ChildServices{std::make_shared<const ServiceQuery>(*this)},
                      std::move(predicate));
}

mcom::iokit::ServiceQuery ServiceQuery::Core() const {
  mcom::iokit::ServiceQuery core =
      std::holds_alternative<MatchingServices>(query_)
          ? mcom::iokit::ServiceQuery::Matching(std::get<MatchingServices>(query_).dictionary)
          : std::get<ChildServices>(query_).of->Core().Children();
  if (!predicate_) return core;
  // The core query hands its predicate a borrowed entry: this one takes a reference of its
  // own for the wrapper.
  return core.Filter([predicate = predicate_](const mcom::iokit::Service& service) {
    return predicate(Service(mcom::iokit::Service::Retain(service.get())));
  });
}

ServiceQuery::Cursor ServiceQuery::Iterate() const { return Cursor(Core().Iterate()); }

std::optional<Service> ServiceQuery::Cursor::Next() {
  try {
    std::optional<mcom::iokit::Service> service = iterator_.Next();
    if (!service) return std::nullopt;
    return Service(std::move(*service));
  } catch (const std::system_error&) {
    // Logged by the core query; the model treats an unreadable registry as an empty one.
    return std::nullopt;
  }
}

std::optional<Service> ServiceQuery::First() const { return Iterate().Next(); }

ServiceQuery::Predicate HasClass(std::string class_name) {
  return [class_name = std::move(class_name)](const Service& service) {
    return service.ClassName() == class_name;
  };
}

}  // namespace app::IOKit

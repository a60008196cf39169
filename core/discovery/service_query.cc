#include "core/discovery/service_query.h"

#include <system_error>
#include <utility>

#include "core/discovery/service_property.h"
#include "core/foundation/error_category.h"

namespace mcom::iokit {
namespace {

void ThrowIfFailed(platform::IOReturn status) { ThrowIfError(std::error_code(status, category())); }

}  // namespace

ServiceQuery::ServiceQuery(DiskName disk)
    : ServiceQuery(Source(platform::IOBSDNameMatching(platform::kIOMainPortDefault, 0,
                                                      FormatDiskName(disk).c_str())),
                   nullptr) {}

ServiceQuery::ServiceQuery(std::string_view class_name)
    : ServiceQuery(Source(platform::IOServiceMatching(std::string(class_name).c_str())), nullptr) {}

ServiceQuery::ServiceQuery(Source source, Predicate predicate)
    : source_(std::move(source)), predicate_(std::move(predicate)) {}

ServiceQuery ServiceQuery::Matching(cf::Ref<cf::Dictionary> matching) {
  return ServiceQuery(Source(std::move(matching)), nullptr);
}

ServiceQuery ServiceQuery::Related(Relation relation) const {
  return ServiceQuery(Source(Relatives{relation, std::make_shared<const ServiceQuery>(*this)}),
                      nullptr);
}

ServiceQuery ServiceQuery::Children() const { return Related(Relation::kChildren); }

ServiceQuery ServiceQuery::Parents() const { return Related(Relation::kParents); }

ServiceQuery ServiceQuery::ChildNamed(std::string class_name) const {
  return Children().Filter([class_name = std::move(class_name)](const Service& service) {
    return ClassName(service) == class_name;
  });
}

ServiceQuery ServiceQuery::Filter(Predicate predicate) const {
  if (!predicate_) return ServiceQuery(source_, std::move(predicate));
  if (!predicate) return *this;
  return ServiceQuery(source_,
                      [first = predicate_, then = std::move(predicate)](const Service& service) {
                        return first(service) && then(service);
                      });
}

ServiceQuery::Iterator ServiceQuery::Iterate() const { return Iterator(*this); }

ServiceQuery::Iterator::Iterator(const ServiceQuery& query)
    : query_(std::make_shared<const ServiceQuery>(query)) {}

ServiceQuery::Iterator::Iterator(Iterator&&) noexcept = default;
ServiceQuery::Iterator& ServiceQuery::Iterator::operator=(Iterator&&) noexcept = default;
ServiceQuery::Iterator::~Iterator() = default;

std::optional<Service> ServiceQuery::Iterator::Next() {
  while (std::optional<Service> candidate = NextFromSource()) {
    if (!query_->predicate_ || query_->predicate_(*candidate)) return candidate;
    // A refused service is released here, before the walk goes on.
  }
  return std::nullopt;
}

std::optional<Service> ServiceQuery::Iterator::NextFromSource() {
  if (finished_) return std::nullopt;

  if (const auto* matching = std::get_if<cf::Ref<cf::Dictionary>>(&query_->source_)) {
    if (!started_) {
      started_ = true;
      platform::io_iterator_t iterator = platform::IO_OBJECT_NULL;
      const platform::IOReturn status = platform::IOServiceGetMatchingServices(
          platform::kIOMainPortDefault, *matching, &iterator);
      if (status != platform::kIOReturnSuccess) finished_ = true;
      ThrowIfFailed(status);
      level_.reset(iterator);
    }
    if (platform::io_object_t next = platform::IOIteratorNext(level_.get())) return Service(next);
    level_.reset();
    finished_ = true;
    return std::nullopt;
  }

  const Relatives& relatives = std::get<Relatives>(query_->source_);
  if (!inner_) inner_.reset(new Iterator(*relatives.inner));  // private constructor
  while (true) {
    if (level_) {
      if (platform::io_object_t next = platform::IOIteratorNext(level_.get())) {
        return Service(next);
      }
      level_.reset();
      current_ = Service();
    }
    std::optional<Service> service = inner_->Next();
    if (!service) {
      inner_.reset();
      finished_ = true;
      return std::nullopt;
    }
    current_ = std::move(*service);
    platform::io_iterator_t iterator = platform::IO_OBJECT_NULL;
    const platform::IOReturn status =
        relatives.relation == Relation::kChildren
            ? platform::IORegistryEntryGetChildIterator(current_.get(), platform::kIOServicePlane,
                                                        &iterator)
            : platform::IORegistryEntryGetParentIterator(current_.get(), platform::kIOServicePlane,
                                                         &iterator);
    if (status != platform::kIOReturnSuccess) {
      current_ = Service();
      inner_.reset();
      finished_ = true;
    }
    ThrowIfFailed(status);
    level_.reset(iterator);
  }
}

}  // namespace mcom::iokit

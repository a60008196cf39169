#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/discovery/service.h"
#include "core/discovery/service_query.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/cf_string.h"

// The application's light view of the device registry, on the core library's owners and
// queries: a service that caches its class name, and lazy queries of matching services or
// of their children.
namespace app::IOKit {

// One registry entry, released when destroyed. Move-only.
class Service {
 public:
  explicit Service(mcom::iokit::Service service) : service_(std::move(service)) {}

  const mcom::iokit::Service& handle() const { return service_; }

  // The class name (IOObjectGetClass), read on first use and kept.
  const std::string& ClassName() const;
  // The first parent in the "IOService" plane.
  std::optional<Service> Parent() const;
  // The registry name, read into a 128-byte buffer; empty when it cannot be read.
  std::string Name() const;
  // The property `key`, or null when the entry has none.
  mcom::cf::Ref<mcom::cf::Object> Property(std::string_view key) const;
  // The property as a text (null for another type or none).
  mcom::cf::Ref<mcom::cf::String> StringProperty(std::string_view key) const;

 private:
  mcom::iokit::Service service_;
  mutable std::optional<std::string> class_name_;
};

// One registry iterator, released when destroyed. Move-only.
class Iterator {
 public:
  explicit Iterator(mcom::iokit::RegistryIterator iterator) : iterator_(std::move(iterator)) {}

  // The children (parents) of `service` in the "IOService" plane; empty on failure.
  static Iterator Children(const Service& service);
  static Iterator Parents(const Service& service);

  // The next service, or nothing once exhausted.
  std::optional<Service> Next();

 private:
  mcom::iokit::RegistryIterator iterator_;
};

// A lazy sequence of services: those a matching dictionary selects (registry order), or
// the children of every service of another query, keeping only those the predicate accepts.
// Building one touches nothing; each iteration asks the registry afresh.
class ServiceQuery {
 public:
  using Predicate = std::function<bool(const Service&)>;

  struct MatchingServices {
    mcom::cf::Ref<mcom::cf::Dictionary> dictionary;
  };
  struct ChildServices {
    std::shared_ptr<const ServiceQuery> of;
  };
  using Query = std::variant<MatchingServices, ChildServices>;

  explicit ServiceQuery(Query query, Predicate predicate = nullptr);

  static ServiceQuery Matching(mcom::cf::Ref<mcom::cf::Dictionary> dictionary,
                               Predicate predicate = nullptr);
  // The services of class `class_name` or a subclass (IOServiceMatching).
  static ServiceQuery MatchingClass(std::string_view class_name, Predicate predicate = nullptr);
  // The service whose "BSD Name" is `bsd_name` (IOBSDNameMatching).
  static ServiceQuery MatchingBSDName(std::string_view bsd_name, Predicate predicate = nullptr);
  // The children of this query's services.
  ServiceQuery Children(Predicate predicate = nullptr) const;

  // The services one at a time. A registry that cannot be read ends the sequence early.
  class Cursor {
   public:
    std::optional<Service> Next();

   private:
    friend class ServiceQuery;
    explicit Cursor(mcom::iokit::ServiceQuery::Iterator iterator)
        : iterator_(std::move(iterator)) {}

    mcom::iokit::ServiceQuery::Iterator iterator_;
  };
  Cursor Iterate() const;

  // The first service, or nothing.
  std::optional<Service> First() const;

 private:
  mcom::iokit::ServiceQuery Core() const;

  Query query_;
  Predicate predicate_;
};

// A predicate: the service's class is exactly `class_name`.
ServiceQuery::Predicate HasClass(std::string class_name);

}  // namespace app::IOKit

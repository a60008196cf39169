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
  const std::string& className() const;
  // The first parent in the "IOService" plane.
  std::optional<Service> parent() const;
  // The registry name, read into a 128-byte buffer; empty when it cannot be read.
  std::string name() const;
  // The property `key`, or null when the entry has none.
  mcom::cf::Ref<mcom::cf::Object> property(std::string_view key) const;
  // The property as a text (null for another type or none).
  mcom::cf::Ref<mcom::cf::String> stringProperty(std::string_view key) const;

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
  std::optional<Service> next();

 private:
  mcom::iokit::RegistryIterator iterator_;
};

// A lazy sequence of services: those a matching dictionary selects (registry order), or
// the children of every service of another query, keeping only those the predicate accepts.
// Building one touches nothing; each iteration asks the registry afresh.
class ServiceQuery {
 public:
  using Predicate = std::function<bool(const Service&)>;

  struct Matching {
    mcom::cf::Ref<mcom::cf::Dictionary> dictionary;
  };
  struct Children {
    std::shared_ptr<const ServiceQuery> of;
  };
  using Query = std::variant<Matching, Children>;

  explicit ServiceQuery(Query query, Predicate predicate = nullptr);

  static ServiceQuery matching(mcom::cf::Ref<mcom::cf::Dictionary> dictionary,
                               Predicate predicate = nullptr);
  // The services of class `class_name` or a subclass (IOServiceMatching).
  static ServiceQuery matchingClass(std::string_view class_name, Predicate predicate = nullptr);
  // The service whose "BSD Name" is `bsd_name` (IOBSDNameMatching).
  static ServiceQuery matchingBSDName(std::string_view bsd_name, Predicate predicate = nullptr);
  // The children of this query's services.
  ServiceQuery children(Predicate predicate = nullptr) const;

  // The services one at a time. A registry that cannot be read ends the sequence early.
  class Cursor {
   public:
    std::optional<Service> next();

   private:
    friend class ServiceQuery;
    explicit Cursor(mcom::iokit::ServiceQuery::Iterator iterator)
        : iterator_(std::move(iterator)) {}

    mcom::iokit::ServiceQuery::Iterator iterator_;
  };
  Cursor iterate() const;

  // The first service, or nothing.
  std::optional<Service> first() const;

 private:
  mcom::iokit::ServiceQuery Core() const;

  Query query_;
  Predicate predicate_;
};

// A predicate: the service's class is exactly `class_name`.
ServiceQuery::Predicate HasClass(std::string class_name);

}  // namespace app::IOKit

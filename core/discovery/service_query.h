#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/discovery/service.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/disk_name.h"

namespace mcom::iokit {

// A query over the device registry's service plane: start from the services matched by BSD
// name or class, step to children or parents, keep only services that pass predicates.
//
//   // The APFS volumes of container disk1:
//   ServiceQuery(DiskName{1}).ChildNamed("AppleAPFSContainer").ChildNamed("AppleAPFSVolume")
//
// A query is a value: building one touches nothing, copies share their inner queries, and it
// may be copied to and evaluated on any thread. Evaluation (Iterate) is lazy, one service at
// a time, so that a caller who wants the first answer stops the walk at the first hit.
//
// Order, depth first along the chain of sources: a matching source yields the services in
// the registry's order; a children (parents) source takes the inner query's next service and
// yields its children (parents) in order before it takes the inner query's next one. At each
// level, a service the level's predicate refuses is released and skipped.
class ServiceQuery {
 public:
  using Predicate = std::function<bool(const Service&)>;

  // The services whose BSD name is `disk` (IOBSDNameMatching with its formatted name).
  explicit ServiceQuery(DiskName disk);
  // The services of class `class_name` or a subclass of it (IOServiceMatching).
  explicit ServiceQuery(std::string_view class_name);
  // The services `matching` selects (a dictionary of the kind IOServiceMatching makes, with
  // more keys: see platform/iokit/io_kit_lib.h).
  static ServiceQuery Matching(cf::Ref<cf::Dictionary> matching);

  // For each service of this query, its children (parents) in the service plane.
  ServiceQuery Children() const;
  ServiceQuery Parents() const;
  // Children whose class (IOObjectGetClass) is exactly `class_name`: a subclass does not
  // count.
  ServiceQuery ChildNamed(std::string class_name) const;
  // The same source, keeping only services that pass this query's predicate (first, and
  // only those) and then `predicate`.
  ServiceQuery Filter(Predicate predicate) const;

  // The evaluation cursor. It holds, for a matching source, the registry iterator; for a
  // children or parents source, the inner query's cursor, the service it is on and that
  // service's child or parent iterator. Each is released as soon as the cursor moves past
  // it, and all of them when the cursor is destroyed. Move-only; one thread at a time.
  class Iterator {
   public:
    Iterator(Iterator&&) noexcept;
    Iterator& operator=(Iterator&&) noexcept;
    ~Iterator();

    // The next service, or empty once the services are exhausted (and on every call after
    // that). The registry is first asked on the first call. Throws std::system_error with
    // the registry's status in the "mcom::iokit" category (after logging it) when an
    // iterator cannot be made: the registry file cannot be read, the matching dictionary
    // holds an unsupported key, or the class name of the query is not valid UTF-8. The
    // cursor is finished afterwards.
    std::optional<Service> Next();

   private:
    friend class ServiceQuery;
    explicit Iterator(const ServiceQuery& query);

    std::optional<Service> NextFromSource();

    std::shared_ptr<const ServiceQuery> query_;
    bool finished_ = false;
    bool started_ = false;
    // The iterator of the current level: the matching iterator, or the child or parent
    // iterator of `current_`.
    RegistryIterator level_;
    Service current_;
    std::unique_ptr<Iterator> inner_;
  };

  // A fresh cursor at the start of this query. Nothing is asked of the registry yet.
  Iterator Iterate() const;

 private:
  enum class Relation { kChildren, kParents };
  struct Relatives {
    Relation relation;
    std::shared_ptr<const ServiceQuery> inner;
  };
  using Source = std::variant<cf::Ref<cf::Dictionary>, Relatives>;

  ServiceQuery(Source source, Predicate predicate);
  ServiceQuery Related(Relation relation) const;

  Source source_;
  Predicate predicate_;  // empty: keep everything
};

}  // namespace mcom::iokit

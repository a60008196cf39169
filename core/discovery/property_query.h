#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/discovery/service_query.h"

namespace mcom::iokit {

// A ServiceQuery whose services are mapped to values: the mapper answers a value for a
// service, or nothing, and services that map to nothing are skipped.
//
//   PropertyQuery<DiskName> container(ServiceQuery(disk).Parents().Parents(), BSDName);
//   std::optional<DiskName> name = FirstValue(container);
//
// Like the query it holds, a PropertyQuery is a value that may be copied and evaluated on
// any thread; each evaluation has its own cursor. Evaluation throws what
// ServiceQuery::Iterator::Next throws.
template <typename T>
class PropertyQuery {
 public:
  using Mapper = std::function<std::optional<T>(const Service&)>;

  PropertyQuery(ServiceQuery query, Mapper mapper)
      : query_(std::move(query)), mapper_(std::move(mapper)) {}

  const ServiceQuery& query() const { return query_; }

  // A generator over the values: each call walks on to the next service whose mapping is
  // not empty and returns that value; once the services are exhausted it returns an empty
  // optional, on that call and every later one. Nothing is evaluated before the first
  // call. The generator owns its cursor, so copies of it share one walk.
  std::function<std::optional<T>()> ForEach() const {
    auto cursor = std::make_shared<ServiceQuery::Iterator>(query_.Iterate());
    return [cursor, mapper = mapper_]() -> std::optional<T> {
      while (std::optional<Service> service = cursor->Next()) {
        if (std::optional<T> value = mapper(*service)) return value;
      }
      return std::nullopt;
    };
  }

 private:
  ServiceQuery query_;
  Mapper mapper_;
};

// The first value of `query`: its generator, called once. The walk stops at the first
// service that maps to a value.
template <typename T>
std::optional<T> FirstValue(const PropertyQuery<T>& query) {
  return query.ForEach()();
}

// Every value of `query`, in order.
template <typename T>
std::vector<T> AllValues(const PropertyQuery<T>& query) {
  std::vector<T> values;
  const std::function<std::optional<T>()> next = query.ForEach();
  while (std::optional<T> value = next()) values.push_back(std::move(*value));
  return values;
}

}  // namespace mcom::iokit

// Reading and writing a real-sized property list: the full `diskutil list -plist` of an
// Apple-silicon Mac with external disks (tests/data/real-samples), the kind of document the
// system parses for every disk listing.
//
//   cmake --build build --target benchmarks && build/bench/property_list_benchmark

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/property_list.h"

namespace {

using mcom::cf::Data;
using mcom::cf::Object;
using mcom::cf::PropertyListFormat;
using mcom::cf::Ref;

Ref<Data> SampleXML() {
  static const Ref<Data> data = mcom::cf::CreateDataFromFile(mcom::FilePath(
      DORVANE_SOURCE_DIR "/tests/data/real-samples/diskutil-list-plist-5-applesilicon-full.xml"));
  if (!data) std::abort();
  return data;
}

Ref<Object> SampleValue() {
  static const Ref<Object> value = mcom::cf::PropertyListFromData(SampleXML());
  if (!value) std::abort();
  return value;
}

void BM_ReadXML(benchmark::State& state) {
  const Ref<Data> data = SampleXML();
  for (auto _ : state) benchmark::DoNotOptimize(mcom::cf::PropertyListFromData(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->length()));
}
BENCHMARK(BM_ReadXML);

void BM_WriteXML(benchmark::State& state) {
  const Ref<Object> value = SampleValue();
  for (auto _ : state) {
    benchmark::DoNotOptimize(mcom::cf::PropertyListToData(value, PropertyListFormat::kXML));
  }
}
BENCHMARK(BM_WriteXML);

void BM_ReadBinary(benchmark::State& state) {
  const Ref<Data> data = mcom::cf::PropertyListToData(SampleValue(), PropertyListFormat::kBinary);
  for (auto _ : state) benchmark::DoNotOptimize(mcom::cf::PropertyListFromData(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->length()));
}
BENCHMARK(BM_ReadBinary);

void BM_WriteBinary(benchmark::State& state) {
  const Ref<Object> value = SampleValue();
  for (auto _ : state) {
    benchmark::DoNotOptimize(mcom::cf::PropertyListToData(value, PropertyListFormat::kBinary));
  }
}
BENCHMARK(BM_WriteBinary);

// The same listing repeated `state.range(0)` times in one array: how reading scales.
void BM_ReadLargeXML(benchmark::State& state) {
  mcom::cf::Array::Values copies(static_cast<size_t>(state.range(0)), SampleValue());
  const Ref<Data> data = mcom::cf::PropertyListToData(mcom::cf::Array::Create(std::move(copies)),
                                                      PropertyListFormat::kXML);
  for (auto _ : state) benchmark::DoNotOptimize(mcom::cf::PropertyListFromData(data));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data->length()));
}
BENCHMARK(BM_ReadLargeXML)->Arg(10)->Arg(100);

}  // namespace

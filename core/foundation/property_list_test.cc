// The property-list reader and writers against the outside world: real output of the Mac's
// tools, and Python's plistlib as an independent reader and writer of both formats.

#include "core/foundation/property_list.h"

#include <gmock/gmock.h>

#include <cmath>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_date.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_file_data.h"
#include "core/foundation/cf_number.h"
#include "tests/support/child_process.h"
#include "tests/support/temporary_folder.h"

namespace mcom::cf {
namespace {

using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Optional;

FilePath Sample(const std::string& name) {
  return FilePath(DORVANE_SOURCE_DIR "/tests/data/real-samples/" + name);
}

Ref<Dictionary> ReadSample(const std::string& name) {
  return As<Dictionary>(PropertyListFromFile(Sample(name)));
}

TEST(PropertyListSamplesTest, ReadsHdiutilAttachResults) {
  const Ref<Dictionary> attach = ReadSample("hdiutil-attach-plist-1.xml");
  ASSERT_THAT(attach, NotNull());
  const Ref<Array> entities = attach->GetArray("system-entities");
  ASSERT_THAT(entities, NotNull());
  ASSERT_EQ(entities->Count(), 4u);
  const Ref<Dictionary> volume = entities->Get<Dictionary>(2);
  EXPECT_THAT(volume->GetString("dev-entry"), Optional(std::string("/dev/disk9s1")));
  EXPECT_THAT(volume->GetString("mount-point"),
              Optional(std::string("/private/tmp/brcart.5kKPp5/mnt")));
  EXPECT_THAT(volume->GetString("content-hint"),
              Optional(std::string("41504653-0000-11AA-AA11-00306543ECAC")));
  EXPECT_THAT(volume->GetString("volume-kind"), Optional(std::string("apfs")));
  EXPECT_THAT(volume->GetBool("potentially-mountable"), Optional(true));
  const Ref<Dictionary> container = entities->Get<Dictionary>(3);
  EXPECT_THAT(container->GetString("dev-entry"), Optional(std::string("/dev/disk9")));
  EXPECT_EQ(container->GetString("mount-point"), std::nullopt);

  // Indented with spaces, a slice first: the layout does not matter to the reader.
  const Ref<Array> old_entities =
      GetArray(ReadSample("hdiutil-attach-plist-2-apm-hfs.xml"), "system-entities");
  ASSERT_THAT(old_entities, NotNull());
  EXPECT_THAT(GetString(old_entities->Get<Dictionary>(0), "dev-entry"),
              Optional(std::string("/dev/disk3s1")));
  EXPECT_THAT(GetString(old_entities->Get<Dictionary>(2), "mount-point"),
              Optional(std::string("/private/tmp/dmg.BhfS2g")));

  // An excerpt that ends in the middle of the document is no property list.
  EXPECT_THAT(PropertyListFromFile(Sample("hdiutil-attach-plist-fragment-apfs-10.13-1.xml")),
              IsNull());
}

TEST(PropertyListSamplesTest, ReadsDiskutilLists) {
  const Ref<Dictionary> list = ReadSample("diskutil-list-plist-5-applesilicon-full.xml");
  ASSERT_THAT(list, NotNull());
  EXPECT_EQ(list->GetArray("AllDisks")->Count(), 24u);
  const Ref<Dictionary> disk0 = list->GetArray("AllDisksAndPartitions")->Get<Dictionary>(0);
  ASSERT_THAT(disk0, NotNull());
  EXPECT_THAT(disk0->GetString("DeviceIdentifier"), Optional(std::string("disk0")));
  EXPECT_THAT(disk0->GetString("Content"), Optional(std::string("GUID_partition_scheme")));
  EXPECT_THAT(disk0->GetInteger("Size"), Optional(500277792768));
  EXPECT_THAT(disk0->GetBool("OSInternal"), Optional(false));
  const Ref<Dictionary> partition = disk0->GetArray("Partitions")->Get<Dictionary>(1);
  EXPECT_THAT(partition->GetString("DeviceIdentifier"), Optional(std::string("disk0s2")));
  EXPECT_THAT(partition->GetInteger("Size"), Optional(494384795648));

  const Ref<Dictionary> error = ReadSample("diskutil-info-plist-error-1.xml");
  EXPECT_THAT(error->GetBool("Error"), Optional(true));
  EXPECT_THAT(error->GetString("ErrorMessage"),
              Optional(std::string("Could not find disk: /Volumes/SMB")));
  EXPECT_THAT(error->GetInteger("ExitCode"), Optional(1));

  const Ref<Dictionary> info = ReadSample("diskutil-info-plist-apfs-volume-2.xml");
  EXPECT_THAT(info->GetString("DeviceIdentifier"), Optional(std::string("disk1s5s1")));
  EXPECT_THAT(info->GetBool("APFSSnapshot"), Optional(true));
  EXPECT_THAT(info->GetBool("Writable"), Optional(false));
  EXPECT_THAT(info->GetInteger("VolumeSize"), Optional(0));
  EXPECT_EQ(info->GetDictionary("SMARTDeviceSpecificKeysMayVaryNotGuaranteed")->Count(), 0u);
}

TEST(PropertyListSamplesTest, RewritesRealToolOutputByteForByte) {
  // Output captured verbatim from a Mac: our writer gives back the very same bytes.
  for (const std::string name : {"hdiutil-attach-plist-1.xml", "hdiutil-info-plist-1.xml",
                                 "diskutil-list-plist-5-applesilicon-full.xml"}) {
    std::string original = testing::TemporaryFolder::ReadFile(Sample(name));
    if (!original.empty() && original.back() != '\n') original += '\n';
    const Ref<Data> rewritten =
        PropertyListToData(PropertyListFromFile(Sample(name)), PropertyListFormat::kXML);
    ASSERT_THAT(rewritten, NotNull()) << name;
    EXPECT_EQ(rewritten->AsStringView(), original) << name;
  }
}

// Python's plistlib describing what it read, in a form that is easy to compare.
constexpr char kDescribe[] = R"(
import datetime, math, plistlib, sys
def d(v):
    if isinstance(v, bool): return 'true' if v else 'false'
    if isinstance(v, int): return 'int:%d' % v
    if isinstance(v, float): return 'real:' + ('nan' if math.isnan(v) else repr(v))
    if isinstance(v, str): return 'str:' + v.encode('unicode_escape').decode()
    if isinstance(v, bytes): return 'data:' + v.hex()
    if isinstance(v, datetime.datetime): return 'date:' + v.isoformat()
    if isinstance(v, list): return '[' + ','.join(d(x) for x in v) + ']'
    if isinstance(v, dict): return '{' + ','.join(k + '=' + d(v[k]) for k in sorted(v)) + '}'
    return 'unknown'
print(d(plistlib.load(open(sys.argv[1], 'rb'))))
)";

// Runs /usr/bin/python3 with `arguments` (with an empty environment, as every child of ours);
// its standard output.
std::string RunPython(const std::vector<std::string>& arguments) {
  const testing::ChildRun run = testing::RunCapturing("/usr/bin/python3", arguments);
  EXPECT_FALSE(run.status) << run.status.message() << ": " << run.error;
  return run.output;
}

Ref<Dictionary> EveryKind() {
  const uint8_t bytes[] = {0, 1, 0xFE, 0xFF};
  return Dictionary::Create(
      {"negative", "min", "huge", "real", "nan", "infinity", "true", "date", "data", "text",
       "empty", "list"},
      {Number::CreateInteger(-5), Number::CreateInteger(INT64_MIN),
       Number::CreateUnsigned(UINT64_MAX), Number::CreateReal(0.1), Number::CreateReal(NAN),
       Number::CreateReal(-INFINITY), Boolean::True(), Date::Create(604672245.5),
       Data::Create(bytes, sizeof bytes), String::Create("caf\xC3\xA9 \xF0\x9F\x98\x80 <&>\t\"'"),
       Dictionary::Create({}, {}), Array::Create({Array::Create({}), Boolean::False()})});
}

std::string Describe(const Ref<Data>& document) {
  testing::TemporaryFolder folder;
  const FilePath file = folder.WriteFile("document.plist", std::string(document->AsStringView()));
  return RunPython({"-c", kDescribe, file.string()});
}

TEST(PropertyListPythonTest, PythonReadsWhatWeWrite) {
  const std::string rest =
      "empty={},huge=int:18446744073709551615,infinity=real:-inf,list=[[],false],"
      "min=int:-9223372036854775808,nan=real:nan,negative=int:-5,real=real:0.1,"
      "text=str:caf\\xe9 \\U0001f600 <&>\\t\"',true=true}\n";
  EXPECT_EQ(Describe(PropertyListToData(EveryKind(), PropertyListFormat::kXML)),
            "{data=data:0001feff,date=date:2020-02-29T12:30:45," + rest);
  EXPECT_EQ(Describe(PropertyListToData(EveryKind(), PropertyListFormat::kBinary)),
            "{data=data:0001feff,date=date:2020-02-29T12:30:45.500000," + rest);
}

constexpr char kWrite[] = R"(
import datetime, plistlib, sys
value = {
  'negative': -5, 'min': -2**63, 'huge': 2**64 - 1, 'real': 0.1, 'nan': float('nan'),
  'infinity': float('-inf'), 'true': True, 'date': datetime.datetime(2020, 2, 29, 12, 30, 45, 500000),
  'data': bytes([0, 1, 0xfe, 0xff]), 'text': 'caf\u00e9 \U0001f600 <&>\t"\'',
  'empty': {}, 'list': [[], False],
}
if sys.argv[1] == 'uid':  # keyed-archiver UIDs exist in the binary format only
    value = [plistlib.UID(7), plistlib.UID(2**32 - 1)]
fmt = plistlib.FMT_BINARY if sys.argv[2] == 'binary' else plistlib.FMT_XML
sys.stdout.buffer.write(plistlib.dumps(value, fmt=fmt))
)";

Ref<Object> ReadFromPython(const std::string& what, const std::string& format) {
  const std::string output = RunPython({"-c", kWrite, what, format});
  return PropertyListFromBytes(output.data(), output.size());
}

TEST(PropertyListPythonTest, WeReadWhatPythonWrites) {
  EXPECT_TRUE(Equal(ReadFromPython("all", "binary"), EveryKind()));
  // XML keeps whole seconds only.
  const Ref<MutableDictionary> whole_seconds = EveryKind()->MutableCopy();
  whole_seconds->SetValue("date", Date::Create(604672245.0));
  EXPECT_TRUE(Equal(ReadFromPython("all", "xml"), whole_seconds));

  const Ref<Object> uids = ReadFromPython("uid", "binary");
  EXPECT_TRUE(Equal(
      uids, Array::Create(
                {Dictionary::Create({"CF$UID"}, {Number::CreateInteger(7)}),
                 Dictionary::Create({"CF$UID"}, {Number::CreateInteger(int64_t{0xFFFFFFFF})})})));
}

TEST(PropertyListFileTest, ReadsAFileOrNothing) {
  testing::TemporaryFolder folder;
  const FilePath path = folder.WriteFile(
      "Info.plist",
      std::string(PropertyListToData(EveryKind(), PropertyListFormat::kBinary)->AsStringView()));
  EXPECT_TRUE(Equal(PropertyListFromFile(path), EveryKind()));
  EXPECT_THAT(PropertyListFromFile(folder.Join("missing.plist")), IsNull());
  EXPECT_THAT(PropertyListFromFile(folder.WriteFile("empty.plist", "")), IsNull());
}

}  // namespace
}  // namespace mcom::cf

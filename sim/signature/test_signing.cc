#include "sim/signature/test_signing.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "sim/signature/test_identities.h"

namespace sim::signature::testing {

mcom::FilePath WriteSignedCopy(const mcom::FilePath& original, const mcom::FilePath& copy,
                               const SigningIdentity& identity, const SigningRequest& request) {
  std::ifstream in(original.string(), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + original.string());
  const std::vector<uint8_t> program((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
  const std::vector<uint8_t> signed_bytes = SignedBytes(program, identity, request);
  std::ofstream out(copy.string(), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(signed_bytes.data()),
            static_cast<std::streamsize>(signed_bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + copy.string());
  std::filesystem::permissions(copy.string(), std::filesystem::perms::owner_all);
  return copy;
}

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

mcom::FilePath WriteTestBundle(const mcom::FilePath& bundle, const TestBundle& contents) {
  constexpr char kLabel[] = "com.halvex-software.Dorvane.helper";
  const mcom::FilePath services = bundle.Join("Contents/Library/LaunchServices");
  std::filesystem::create_directories(bundle.Join("Contents/MacOS").string());
  std::filesystem::create_directories(services.string());
  std::ofstream(bundle.Join("Contents/Info.plist").string())
      << "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>Dorvane</string>"
         "<key>CFBundleIdentifier</key><string>com.halvex-software.Dorvane</string>"
         "<key>SMPrivilegedExecutables</key><dict><key>"
      << kLabel << "</key><string>" << contents.helper_requirement
      << "</string></dict></dict></plist>";

  const mcom::FilePath padded = services.Join(std::string(kLabel) + ".unsigned");
  std::filesystem::copy_file(contents.helper.string(), padded.string(),
                             std::filesystem::copy_options::overwrite_existing);
  std::ofstream(padded.string(), std::ios::binary | std::ios::app)
      << std::string(contents.helper_padding, '\n');
  const std::string info = ReadText(DORVANE_SOURCE_DIR "/helper/Info.plist");
  const mcom::FilePath helper =
      WriteSignedCopy(padded, services.Join(kLabel), contents.helper_identity,
                      {kLabel, {info.begin(), info.end()}, 0});
  std::filesystem::remove(padded.string());

  const std::string app_info = "<plist version=\"1.0\"><dict/></plist>";
  mcom::FilePath executable =
      WriteSignedCopy(contents.program, bundle.Join("Contents/MacOS/Dorvane"),
                      TestSigningIdentity(TestIdentity::kMakerDeveloperID),
                      {contents.identifier, {app_info.begin(), app_info.end()}, 0});
  for (const mcom::FilePath& program : {helper, executable}) {
    std::filesystem::permissions(program.string(), std::filesystem::perms(0755));
  }
  return executable;
}

}  // namespace sim::signature::testing

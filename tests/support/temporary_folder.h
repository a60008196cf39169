#pragma once

#include <string>

#include "core/foundation/file_path.h"

namespace testing {

// A fresh folder under the host's temporary directory, removed with everything in it when
// the object goes away. Tests build their machines and files inside one.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const mcom::FilePath& path() const { return path_; }
  mcom::FilePath Join(const std::string& relative) const { return path_.Join(relative); }

  // Writes `contents` into the file at `relative` (parents are made), mode 0644.
  mcom::FilePath WriteFile(const std::string& relative, const std::string& contents) const;
  // The contents of the file at `path`; empty when it cannot be read.
  static std::string ReadFile(const mcom::FilePath& path);

 private:
  mcom::FilePath path_;
};

// A temporary folder that is also the machine root for as long as it lives; the previous
// root comes back afterwards.
class TemporaryMachineRoot : public TemporaryFolder {
 public:
  TemporaryMachineRoot();
  ~TemporaryMachineRoot();

 private:
  mcom::FilePath previous_root_;
};

}  // namespace testing

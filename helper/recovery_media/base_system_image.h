#pragma once

// Adding the application to the recovery system: a customised, compressed copy of the
// Base System image (the source image itself is never changed), and the customisation that
// copies the application bundle into a mounted Base System and lists it first in the
// recovery environment's Utilities menu.

#include <string>

#include "core/foundation/file_path.h"
#include "helper/code_signing.h"
#include "helper/recovery_media/recovery_media.h"

// Attaches `source` with a shadow file that takes every write, lets `customize` (may be
// empty) change the mounted file system, and converts source and shadow into the compressed
// image `destination`. Reports the titles "Customize Base System image" and "Compress Base
// System image", then the conversion's fractions. Throws std::system_error.
void CustomizeBaseSystemImage(const mcom::FilePath& source, const mcom::FilePath& destination,
                              CustomizeCallback customize, RecoveryProgressCallback progress);

// Copies `bundle` into root/"Applications" after checking the signature of a staged copy
// against `identifier` and `team_identifier` (certificate `kind`), and inserts its entry
// first into the Utilities list of the Base System at `root`. Copy and signature failures
// are thrown as std::system_error; a missing or unexpected Utilities list leaves the bundle
// copied but not listed.
void AddApplicationToBaseSystem(const mcom::FilePath& root, const mcom::FilePath& bundle,
                                const std::string& identifier, const std::string& team_identifier,
                                const std::string& title, const std::string& description,
                                helper::CertificateKind kind);

// The customisation of a recovery-disk build: the running system's Swift runtime and the
// application bundle at `bundle` (signed by the maker with certificate `kind`) added to the
// Base System, the application listed as "Halvex Backup and Recovery".
CustomizeCallback MakeApplicationCustomizer(const mcom::FilePath& bundle,
                                            helper::CertificateKind kind);

// orvendel-doctor --bundle FOLDER: one folder for a support ticket, holding
// the report and what it was made from, the host's recent logs decoded, and
// the installed programs' versions and signatures. Nothing secret: the
// environment is an allowlist, and only files the doctor reads are copied.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tools/doctor/rules.h"

enum class BundleStart { kReady, kNotEmpty, kCannotWrite };

// Makes FOLDER, or takes an empty one, before any check runs, so nothing is
// overwritten and an unwritable place fails at once. `why` says what is wrong.
BundleStart PrepareBundle(const std::string& folder, std::string* why);

// Writes every part. A part whose source is missing or unreadable is listed
// in the index with the reason; false only when FOLDER itself could not be
// written.
bool WriteBundle(const std::string& folder, const std::string& version, const std::vector<BrowserInputs>& inputs,
                 const std::string& reportText, const std::string& reportJson, std::string* why);

// "sha256" of `bytes` in lower-case hexadecimal.
std::string Sha256Hex(const std::string& bytes);

// What differs per platform: bundle_posix.cpp and bundle_win.cpp.
namespace bundle {

// A new file: never an existing one, never through a link.
bool WriteNewFile(const std::string& path, const std::string& bytes, std::string* why);
bool MakeFolder(const std::string& path, std::string* why);

// The programs the product ships, by target name, as the build lists them.
std::vector<std::string> ProductPrograms();
// Where each program the packages ship should be, beside this doctor.
std::vector<std::string> ShippedPrograms();
// The program a manifest's "path" names, as the browser resolves it.
std::string ManifestProgram(const std::string& manifestPath, const std::string& pathValue);
// The file's version and signature state, in words.
void DescribeProgram(const std::string& path, std::string* version, std::string* signature);

// Every variable of the environment, name and value.
std::vector<std::pair<std::string, std::string>> Environment();
// Whether a variable's name is one that may go in the bundle.
bool EnvironmentAllowed(const std::string& name);
// The system's version, the account and whether it is elevated or root.
std::vector<std::pair<std::string, std::string>> SystemFacts();

}  // namespace bundle

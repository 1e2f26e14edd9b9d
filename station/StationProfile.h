#pragma once

#include "station/StationPlan.h"

#include <QByteArray>
#include <QString>

#include <variant>

// A station profile: one text file an engineer hands the line, with the
// firmware file and its SHA-256, the slots, the version check, the log and
// the device numbers' form and source. One "key = value" a line, the keys
// named as the command line's options; lines starting with "#" are comments.
// Paths are relative to the profile's folder, so a folder with the profile,
// the firmware and the list can be copied from one station PC to another:
//
//   firmware = board-v3.txt
//   firmware-sha256 = 3a7bd3e2360a3d29eea436fcfb7e44c735d117c42d1c1835420b6b9942dd4f1b
//   port = 1-4
//   check = yes
//   log = line-a.csv
//   number-at = 0x0800F000
//   number-form = le:4
//   number-counter = 1000,1,99999
//
// It keeps hands off by mistake, not by intent: anyone who can edit the file
// can change it.
namespace StationProfile {

// Reads the profile at `path`: the plan with every path made absolute, or
// why it cannot be used (naming the file and the line at fault).
std::variant<StationPlan, QString> read(const QString &path);

// The profile's text for `plan` (its firmwareSha256 set), with paths written
// relative to the folder of `path` where they lie under it.
QByteArray text(const StationPlan &plan, const QString &path);

// Writes text(plan, path) to `path`, whole or not at all; false and why
// when it cannot, or when `path` holds something other than a profile (a
// log or a firmware file named by mistake), which is left as it is.
bool write(const StationPlan &plan, const QString &path, QString *why);

} // namespace StationProfile

#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Device.h"
#include "Report.h"

namespace kestrix::cli {

// The fields of a device information record whose meaning is known.
Report DecodeInfoRecord(const Bytes& record);

// What the two digital words hold ("inputs", "outputs"), when the record's
// layout tells.
std::optional<std::pair<std::string, std::string>> DigitalWordRoles(const Bytes& record);

}  // namespace kestrix::cli

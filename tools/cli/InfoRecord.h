#pragma once

#include "Device.h"
#include "Report.h"

namespace kestrix::cli {

// The fields of a device information record whose meaning is known.
Report DecodeInfoRecord(const Bytes& record);

}  // namespace kestrix::cli

// The --report file (JSON Lines, appended): one object per receiver and job.
// The record and its writer are the core's (station/unit_record.h), shared
// with the station.
#pragma once

#include "station/unit_record.h"

namespace quorvane::cli {

using quorvane::appendRecord;
using quorvane::isoUtc;
using quorvane::JobRecord;
using quorvane::recordJson;
using quorvane::reportWritable;
using quorvane::sha256Hex;

}  // namespace quorvane::cli

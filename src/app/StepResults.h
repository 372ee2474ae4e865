#pragma once

// The results of the scan and the stream passes as steps return them. The analysis and transport
// modules define these two types next to their steps; this header stands in for them until those
// steps return data, and goes then (with app/RealJobSteps.cpp's adapter).

#include "analysis/AttributeScan.h"
#include "shared/LogLine.h"

namespace quorvel {

struct ScanResult {
    ScanOutcome outcome = ScanOutcome::Failed;
    StreamAttributes attributes;  // filled for Collected only (the failure text for Failed)
    // After the heading: the attribute line and " - Scan completed.", or " - Scan failed:
    // <reason>.", or nothing on abort.
    LogLines lines;
};

struct StreamPass {
    enum class Outcome { Done, Aborted, Failed };
    Outcome outcome = Outcome::Failed;
    LogLines lines;  // what the pass logged after its heading (warnings, failures)
};

}  // namespace quorvel

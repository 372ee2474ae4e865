#include "analysis/AttributeScan.h"

#include "app/QuorvelError.h"

namespace quorvel {

bool GetMediaInfo(JobContext&, const std::string&) {
    throw QuorvelError("GetMediaInfo is not built yet");
}

}  // namespace quorvel

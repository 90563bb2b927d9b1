#include "halftone_path.h"

#include <cstdint>

namespace {

// Replication keeps the pixels of small pictures crisp: both axes must keep more than 667/1000 of their
// length (rounded as Windows rounds it) and the source may hold at most this many pixels.
constexpr std::int64_t kReplicationRatio = 667;
constexpr std::int64_t kMostReplicatedPixels = 2304;

}  // namespace

HalftonePath HalftonePathOf(LONG source_width, LONG source_height, LONG width, LONG height) {
    const std::int64_t sW = source_width, sH = source_height, dW = width, dH = height;
    if (sW == dW && sH == dH) return HalftonePath::kCopy;
    // Larger sources that would be replicated are replicated or filtered by Windows after a count of
    // their colours, whose rule is not known; they are taken as filtered.
    const bool keeps_length = (dW * 1000 + 500) / sW > kReplicationRatio && (dH * 1000 + 500) / sH > kReplicationRatio;
    if (keeps_length && dW * dH >= sW * sH && sW * sH <= kMostReplicatedPixels) return HalftonePath::kReplicate;
    if (sW > dW && sH > dH) return HalftonePath::kShrinkBoth;
    if ((sW > dW && sH == dH) || (sH > dH && sW == dW)) return HalftonePath::kShrinkOne;
    return HalftonePath::kMixed;
}

const char* HalftonePathName(HalftonePath path) {
    switch (path) {
    case HalftonePath::kCopy: return "copy";
    case HalftonePath::kReplicate: return "replication";
    case HalftonePath::kShrinkBoth: return "both axes shrunk";
    case HalftonePath::kShrinkOne: return "one axis shrunk";
    case HalftonePath::kMixed: break;
    }
    return "mixed (one axis shrunk, the other enlarged)";
}

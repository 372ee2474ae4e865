#pragma once

#include <cstdint>

#include "app/JobContext.h"

// Stream coding values shared by the playlist and clip information adjusters.
namespace quorvel {

// Stream coding type of HEVC video as the muxer marks it, and as UHD Blu-ray marks it.
inline constexpr std::uint8_t kCodingTypeHevcSource = 0x06;
inline constexpr std::uint8_t kCodingTypeHevcUhd = 0x24;

// Format byte: video format code in the high nibble, frame rate code in the low nibble.
inline constexpr std::uint8_t kFormatCodeMask = 0xF0;
inline constexpr std::uint8_t kFrameRateMask = 0x0F;
inline constexpr std::uint8_t kFormat1080p = 0x60;
inline constexpr std::uint8_t kFormat2160p = 0x80;

// The format byte with its format code set to 2160p and its frame rate code kept.
inline std::uint8_t to2160p(std::uint8_t format) {
    return static_cast<std::uint8_t>((format & kFrameRateMask) | kFormat2160p);
}

// The report for a stream already marked as UHD Blu-ray HEVC: what its format code says.
inline void logPreviousFormat(JobContext& ctx, std::uint8_t format) {
    switch (format & kFormatCodeMask) {
        case kFormat2160p:
            ctx.log.Status(" - HEVC stream previously marked as 2160p UHD.");
            break;
        case kFormat1080p:
            ctx.log.Status(" - HEVC stream previously marked as 1080p.");
            break;
        default:
            break;
    }
}

}  // namespace quorvel

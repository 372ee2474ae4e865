#pragma once

namespace quorvel::platform {

struct TimeOfDay {
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59 (60 during a leap second, where the system shows one)
};

// The time of day now, on the local clock (time zone and daylight saving applied).
TimeOfDay localTimeOfDay();

}  // namespace quorvel::platform

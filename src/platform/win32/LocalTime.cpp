// Win32 implementation of the local time of day: GetLocalTime.

#include "platform/LocalTime.h"

#include <windows.h>

namespace quorvel::platform {

TimeOfDay localTimeOfDay() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return TimeOfDay{now.wHour, now.wMinute, now.wSecond};
}

}  // namespace quorvel::platform

#include "analysis/MediaInfoParser.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quorvel {

namespace {

// Layout of a field line: the name, space-padded, in columns 1..41, a colon in column 42, the
// value from column 43 on. Positions below are 0-based.
constexpr std::size_t kKeyWidth = 41;
constexpr std::size_t kValueStart = 42;
// "Mastering display luminance : min: 0.0050 cd/m2, max: 1000 cd/m2": the minimum's number
// starts after "min:", which fills columns 44..47.
constexpr std::size_t kLuminanceNumberStart = 47;

// The unit word the analyser writes after a size, dropped before the number is read.
constexpr std::size_t kPixelsUnitLength = 7;  // " pixels"

constexpr double kMinLuminanceUnitsPerCdm2 = 10000.0;  // stored in units of 0.0001 cd/m2
constexpr std::int32_t kUhdWidth = 3840;
constexpr std::int32_t kUhdHeight = 2160;
// The heading line of the section about the file as a whole.
constexpr std::string_view kGeneralSection = "General";

// A transport stream has at most 8192 PIDs, so no sound report names more tracks than that. An
// analyser that prints "ID" lines without end must not make the records grow without bound:
// further "ID" lines are ignored once this many records exist.
constexpr std::size_t kMaxTrackRecords = 8192 + 1;

// Largest exponent digits worth keeping: beyond this every double has over- or underflowed.
constexpr long kExponentLimit = 100000;

// The video codecs the program knows: Matroska codec IDs and MPEG transport-stream stream
// types, upper case.
constexpr std::array<std::string_view, 19> kVideoCodecIds = {
    "V_MPEG4/ISO/AVC",
    "27",
    "V_MPEGH/ISO/HEVC",
    "36",
    "6",
    "V_MS/VFW/FOURCC / WVC1",
    "V_MS/VFW/WVC1",
    "V_MPEG2",
    "2",
    "V_MS/VFW/FOURCC / XVID",
    "V_MS/VFW/FOURCC / DX50",
    "V_MS/VFW/FOURCC / DIV3",
    "V_MS/VFW/FOURCC / DIV4",
    "V_MS/VFW/FOURCC / DIV5",
    "V_MPEG1",
    "V_MS/VFW/FOURCC / DIVX",
    "V_MS/VFW/FOURCC / LAGS",
    "V_MS/VFW/FOURCC / HFYU",
    "V_MS/VFW/FOURCC / ULY2",
};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int digitValue(char c, int base) {
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    return value < base ? value : -1;
}

std::string_view trimSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::string_view dropLast(std::string_view text, std::size_t count) {
    return text.substr(0, text.size() - std::min(count, text.size()));
}

std::string_view fromPosition(std::string_view text, std::size_t position) {
    return position < text.size() ? text.substr(position) : std::string_view{};
}

std::string upperAscii(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return upper;
}

template <typename Int>
Int toField(double value) {
    return static_cast<Int>(roundHalfEvenClamped(value, std::numeric_limits<Int>::min(),
                                                 std::numeric_limits<Int>::max()));
}

// Reads the blank-free characters of a number one at a time.
class NumberCursor {
  public:
    explicit NumberCursor(std::string_view text) : m_text(text) {}

    // The next character that is not blank, or '\0' at the end.
    char peek() {
        while (m_position < m_text.size() && isBlank(m_text[m_position])) ++m_position;
        return m_position < m_text.size() ? m_text[m_position] : '\0';
    }
    void advance() { ++m_position; }

  private:
    std::string_view m_text;
    std::size_t m_position = 0;
};

double saturate(double value) {
    constexpr double kLargest = std::numeric_limits<double>::max();
    if (std::isnan(value)) return 0.0;
    return std::clamp(value, -kLargest, kLargest);
}

double readPrefixedInteger(NumberCursor& cursor, int base) {
    double value = 0.0;
    for (int digit = digitValue(cursor.peek(), base); digit >= 0;
         digit = digitValue(cursor.peek(), base)) {
        value = value * base + digit;
        cursor.advance();
    }
    return saturate(value);
}

// Decimal exponent of the leading significant digit of `mantissa` ("123.4" gives 3, "0.05"
// gives -1); used only to tell an overflow from an underflow.
long magnitudeOf(const std::string& mantissa) {
    const std::size_t point = mantissa.find('.');
    const std::size_t integerEnd = point == std::string::npos ? mantissa.size() : point;
    const std::size_t firstNonZero = mantissa.find_first_not_of("0.");
    if (firstNonZero == std::string::npos) return std::numeric_limits<long>::min() / 2;
    if (firstNonZero < integerEnd) return static_cast<long>(integerEnd - firstNonZero);
    return -static_cast<long>(firstNonZero - integerEnd - 1);
}

void applyCodecId(MediaInfoReport& report, std::int32_t r, std::string_view value) {
    const std::string codecId = upperAscii(value);
    if (std::find(kVideoCodecIds.begin(), kVideoCodecIds.end(), codecId) == kVideoCodecIds.end()) {
        return;
    }
    report.videoTrackFound = true;
    // The first video track met is the one the job uses; one in record 0 (before any "ID" line)
    // gives way to the first video track of a record an "ID" line opened.
    if (report.videoTrackIndex == 0) report.videoTrackIndex = r;
}

void applyLuminance(MediaTrack& rec, std::string_view line) {
    const std::string_view text = trimSpaces(fromPosition(line, kLuminanceNumberStart));
    rec.minLuminance = toField<std::int16_t>(readReportNumber(text) * kMinLuminanceUnitsPerCdm2);
    // Without a colon (no "max:" part) the whole text is read again.
    const std::size_t colon = text.find(':');
    const std::string_view maxText =
        colon == std::string_view::npos ? text : text.substr(colon + 1);
    rec.maxLuminance = toField<std::int16_t>(readReportNumber(maxText));
}

// Makes sure record r exists even when the caller did not reset the records beforehand.
MediaTrack& recordAt(MediaInfoReport& report, std::int32_t r) {
    if (report.tracks.size() <= static_cast<std::size_t>(r)) {
        report.tracks.resize(static_cast<std::size_t>(r) + 1);
    }
    return report.tracks[static_cast<std::size_t>(r)];
}

}  // namespace

double readReportNumber(std::string_view text) {
    NumberCursor cursor(text);
    if (cursor.peek() == '&') {
        cursor.advance();
        const char radix = cursor.peek();
        if (radix == 'H' || radix == 'h') {
            cursor.advance();
            return readPrefixedInteger(cursor, 16);
        }
        if (radix == 'O' || radix == 'o') {
            cursor.advance();
            return readPrefixedInteger(cursor, 8);
        }
        return 0.0;
    }

    bool negative = false;
    if (const char sign = cursor.peek(); sign == '+' || sign == '-') {
        negative = sign == '-';
        cursor.advance();
    }
    std::string mantissa = "0";  // a leading zero keeps ".5" and "5." in a form from_chars takes
    bool havePoint = false;
    bool haveDigit = false;
    for (char c = cursor.peek();; c = cursor.peek()) {
        if (isDigit(c)) {
            haveDigit = true;
        } else if (c == '.' && !havePoint) {
            havePoint = true;
        } else {
            break;
        }
        mantissa.push_back(c);
        cursor.advance();
    }
    if (!haveDigit) return 0.0;
    if (havePoint) mantissa.push_back('0');

    long exponent = 0;
    if (const char e = cursor.peek(); e == 'E' || e == 'e' || e == 'D' || e == 'd') {
        cursor.advance();
        bool negativeExponent = false;
        if (const char sign = cursor.peek(); sign == '+' || sign == '-') {
            negativeExponent = sign == '-';
            cursor.advance();
        }
        for (char c = cursor.peek(); isDigit(c); c = cursor.peek()) {
            if (exponent < kExponentLimit) exponent = exponent * 10 + (c - '0');
            cursor.advance();
        }
        if (negativeExponent) exponent = -exponent;
    }

    const std::string normal = mantissa + "e" + std::to_string(exponent);
    double value = 0.0;
    const auto result = std::from_chars(normal.data(), normal.data() + normal.size(), value);
    if (result.ec == std::errc::result_out_of_range) {
        value = magnitudeOf(mantissa) + exponent > 0 ? std::numeric_limits<double>::max() : 0.0;
    } else if (result.ec != std::errc{}) {
        value = 0.0;
    }
    return saturate(negative ? -value : value);
}

std::int64_t roundHalfEvenClamped(double value, std::int64_t low, std::int64_t high) {
    if (std::isnan(value)) return std::clamp<std::int64_t>(0, low, high);
    if (value <= static_cast<double>(low)) return low;
    if (value >= static_cast<double>(high)) return high;
    const double floor = std::floor(value);
    const double fraction = value - floor;
    double rounded = floor;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) rounded = floor + 1.0;
    return std::clamp(static_cast<std::int64_t>(rounded), low, high);
}

void ParseMediaInfoLine(MediaInfoReport& report, std::string_view line) {
    // The analyser ends lines with LF (CR LF on some platforms); only that end is dropped.
    if (!line.empty() && line.back() == '\n') {
        line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }

    std::int32_t r = std::max<std::int32_t>(report.trackCount, 0);
    const std::string_view key = trimSpaces(line.substr(0, std::min(kKeyWidth, line.size())));
    const std::string_view rawValue = fromPosition(line, kValueStart);
    const std::string_view value = trimSpaces(rawValue);

    if (key == kGeneralSection && rawValue.empty()) {
        report.generalSectionFound = true;
        return;
    }
    if (key == "ID") {
        if (static_cast<std::size_t>(r) + 1 < kMaxTrackRecords) {
            ++r;
            report.tracks.resize(static_cast<std::size_t>(r));
            report.tracks.emplace_back();
        }
        report.trackCount = r;
        return;
    }

    MediaTrack& rec = recordAt(report, r);
    if (key == "Codec ID") {
        applyCodecId(report, r, value);
    } else if (key == "Width") {
        rec.width = toField<std::int32_t>(readReportNumber(dropLast(value, kPixelsUnitLength)));
        if (rec.width == kUhdWidth) rec.is2160 = true;
    } else if (key == "Height") {
        rec.height = toField<std::int32_t>(readReportNumber(dropLast(value, kPixelsUnitLength)));
        if (rec.height == kUhdHeight) rec.is2160 = true;
    } else if (key == "Mastering display color primaries") {
        rec.isHdr = true;
    } else if (key == "Mastering display luminance") {
        applyLuminance(rec, line);
    } else if (key == "Maximum Content Light Level") {
        rec.maxCll = toField<std::int16_t>(readReportNumber(value));
    } else if (key == "Maximum Frame-Average Light Level") {
        rec.maxFall = toField<std::int16_t>(readReportNumber(value));
    }
    report.trackCount = r;
}

}  // namespace quorvel

#include "e2e/DiscExpectations.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <regex>
#include <stdexcept>

#include "support/JobListing.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {

namespace stdfs = std::filesystem;

namespace {

constexpr std::size_t kPacketSize = 192;
constexpr uint16_t kVideoPid = 0x1011;
constexpr uint8_t kHevcAsMuxed = 0x06;
constexpr uint8_t kHevcUhd = 0x24;
constexpr uint8_t kFormat1080p = 0x60;
constexpr uint8_t kFormat2160p = 0x80;
constexpr uint8_t kDynamicRangeHdr10Bt2020 = 0x12;
constexpr uint8_t kDynamicRangeSdrBt709 = 0x01;

uint32_t be32At(const ByteString& b, std::size_t at) {
    if (at + 4 > b.size()) throw std::out_of_range("be32 beyond the file");
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

uint16_t be16At(const ByteString& b, std::size_t at) {
    if (at + 2 > b.size()) throw std::out_of_range("be16 beyond the file");
    return uint16_t(b[at] << 8 | b[at + 1]);
}

uint8_t at(const ByteString& b, std::size_t offset) {
    if (offset >= b.size()) throw std::out_of_range("byte beyond the file");
    return b[offset];
}

void putBe32(ByteString& b, std::size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.at(offset + i) = uint8_t(v >> (24 - 8 * i));
}

void putText(ByteString& b, std::size_t offset, const std::string& text) {
    std::copy(text.begin(), text.end(), b.begin() + std::ptrdiff_t(offset));
}

void append16(ByteString& b, uint16_t v) {
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

void append32(ByteString& b, uint32_t v) {
    append16(b, uint16_t(v >> 16));
    append16(b, uint16_t(v));
}

std::string fileText(const std::string& path) {
    const ByteString bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string text(const ByteString& b, std::size_t offset, std::size_t size) {
    if (offset + size > b.size()) throw std::out_of_range("text beyond the file");
    return std::string(b.begin() + std::ptrdiff_t(offset),
                       b.begin() + std::ptrdiff_t(offset + size));
}

std::string lowered(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A sample folder the build wrote, or empty when it is absent (its tests skip).
std::string sampleFolder(const std::string& variant) {
    const std::string folder = samplesDir() + "/" + variant;
    return exists(folder + "/BDMV") ? folder : std::string{};
}

bool isMultiAngle(const ByteString& mpls, std::size_t item) {
    return (at(mpls, item + 12) & 0xF0) != 0;
}

std::size_t streamTableOf(const ByteString& mpls, std::size_t item) {
    if (isMultiAngle(mpls, item)) return item + 36 + 10 * (at(mpls, item + 34) - 1);
    return item + 34;
}

// The tree path that equals `path` but for letter case; throws when there is none.
std::string pathIgnoringCase(const Tree& tree, const std::string& path) {
    const std::string wanted = lowered(path);
    for (const auto& [name, bytes] : tree) {
        if (lowered(name) == wanted) return name;
    }
    throw std::runtime_error("the playlist names " + path + ", which the folder lacks");
}

}  // namespace

std::string samplesDir() {
    return QUORVEL_SAMPLES_DIR;
}

void readHdrValues(const std::string& report, DiscCase& disc) {
    // Only the first video section counts, as the converter reads it.
    const auto video = report.find("\nVideo");
    if (video == std::string::npos) return;
    auto end = report.find("\n\n", video + 1);
    const std::string section = report.substr(video, end == std::string::npos ? end : end - video);
    std::smatch m;
    disc.hdr = std::regex_search(section, std::regex(R"(\nMastering display color primaries\s*:)"));
    if (std::regex_search(section, m,
                          std::regex(R"(\nMastering display luminance\s*: min: ([0-9.]+) cd/m2, )"
                                     R"(max: ([0-9]+) cd/m2)"))) {
        disc.minLuminance = uint16_t(std::lround(std::stod(m[1]) * 10000));
        disc.maxLuminance = uint16_t(std::stoi(m[2]));
    }
    if (std::regex_search(section, m,
                          std::regex(R"(\nMaximum Content Light Level\s*: ([0-9]+) cd/m2)"))) {
        disc.maxCll = uint16_t(std::stoi(m[1]));
    }
    if (std::regex_search(
            section, m, std::regex(R"(\nMaximum Frame-Average Light Level\s*: ([0-9]+) cd/m2)"))) {
        disc.maxFall = uint16_t(std::stoi(m[1]));
    }
    // "3 840 pixels": the analyser groups thousands with a space.
    const auto pixels = [&](const char* key) {
        if (!std::regex_search(section, m, std::regex(std::string("\\n") + key +
                                                      R"(\s*: ([0-9 ]+) pixels)"))) {
            return 0;
        }
        std::string digits = m[1];
        digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
        return std::stoi(digits);
    };
    disc.is2160 = pixels("Width") == 3840 || pixels("Height") == 2160;
}

std::vector<DiscCase> convertibleDiscCases() {
    std::vector<DiscCase> cases = allDiscCases();
    cases.erase(std::remove_if(cases.begin(), cases.end(), [](const DiscCase& c) { return !c.is2160; }),
                cases.end());
    return cases;
}

std::vector<DiscCase> refusedDiscCases() {
    std::vector<DiscCase> cases = allDiscCases();
    cases.erase(std::remove_if(cases.begin(), cases.end(), [](const DiscCase& c) { return c.is2160; }),
                cases.end());
    return cases;
}

std::vector<DiscCase> allDiscCases() {
    std::vector<DiscCase> cases;
    const std::string fixtures = fixturesDir();
    if (!fixtures.empty()) {
        std::vector<std::string> names;
        for (const auto& entry : stdfs::directory_iterator(fixtures)) {
            if (entry.is_directory() && exists(entry.path().string() + "/BDMV")) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        for (const auto& name : names) {
            DiscCase disc;
            disc.name = "fixture_" + name;
            disc.folder = fixtures + "/" + name;
            const std::string report = disc.folder + "/mediainfo.txt";
            if (exists(report)) readHdrValues(fileText(report), disc);
            std::replace_if(
                disc.name.begin(), disc.name.end(),
                [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
            cases.push_back(disc);
        }
    }
    // The samples exist once the build has written them; absent ones skip.
    cases.push_back({"sample_hdr", sampleFolder("hdr"), true, 1000, 50, 1000, 400, true});
    cases.push_back({"sample_sdr", sampleFolder("sdr"), false, 0, 0, 0, 0, true});
    cases.push_back({"sample_pmt3", sampleFolder("pmt3"), true, 1000, 50, 1000, 400, false});
    cases.push_back({"sample_1080p", sampleFolder("hd1080"), true, 1000, 50, 1000, 400, true, 1,
                     false});
    return cases;
}

std::vector<DiscCase> multiClipCases() {
    return {
        {"clips2", sampleFolder("clips2"), true, 1000, 50, 1000, 400, true, 2},
        {"clips3", sampleFolder("clips3"), false, 0, 0, 0, 0, true, 3},
        {"clips2audio", sampleFolder("clips2audio"), true, 1000, 50, 1000, 400, false, 2},
    };
}

std::vector<std::string> firstJobLog(bool hdr) {
    return std::vector<std::string>{"========Job Started========"} + scanLines(hdr) +
           firstJobNavigationLines() +
           std::vector<std::string>{"[ts] Checking/Adjusting M2TS file...",
                                    "[ts] QUORVEL - SUCCESS", "=========Job Ended========="};
}

std::vector<std::string> secondJobLog(bool hdr) {
    return {
        "========Job Started========",
        "[ts] Scanning source for UHD attributes...",
        hdr ? " - UHD and HDR attributes collected." : " - UHD attributes collected.",
        " - Scan completed.",
        "[ts] Checking/Adjusting MPLS file...",
        " - Found UHD-BD marked HEVC stream...",
        " - HEVC stream previously marked as 2160p UHD.",
        "[ts] Checking/Adjusting CLPI file...",
        " - HEVC stream previously marked as 2160p UHD.",
        "[ts] Checking/Adjusting BDMV files...",
        " - Checked/Updated version in Index file...",
        " - Checked/Updated version in MovieObject file...",
        "[ts] Checking/Adjusting M2TS file...",
        "[ts] QUORVEL - SUCCESS",
        "=========Job Ended=========",
    };
}

std::vector<std::string> skipStreamJobLog(bool hdr) {
    std::vector<std::string> lines = firstJobLog(hdr);
    lines.erase(std::find(lines.begin(), lines.end(), "[ts] Checking/Adjusting M2TS file..."));
    return lines;
}

// The play list's address is at 8, its item count at P+6, its first item at P+10; each item is
// chained to the next by its own length field.
std::vector<std::size_t> playItems(const ByteString& mpls) {
    const std::size_t playList = be32At(mpls, 8);
    const unsigned count = be16At(mpls, playList + 6);
    std::vector<std::size_t> items;
    std::size_t item = playList + 10;
    for (unsigned k = 0; k < count; ++k) {
        items.push_back(item);
        item += 2 + be16At(mpls, item);
    }
    return items;
}

std::size_t playlistStreamTable(const ByteString& mpls) {
    return streamTableOf(mpls, be32At(mpls, 8) + 10);
}

std::vector<std::size_t> playlistStreamTables(const ByteString& mpls) {
    std::vector<std::size_t> tables;
    for (const std::size_t item : playItems(mpls)) tables.push_back(streamTableOf(mpls, item));
    return tables;
}

std::vector<std::string> playlistClipNames(const ByteString& mpls) {
    std::vector<std::string> names;
    const auto add = [&names](const std::string& name) {
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    };
    for (const std::size_t item : playItems(mpls)) {
        add(text(mpls, item + 2, 5));
        if (!isMultiAngle(mpls, item)) continue;
        // The further angles' entries follow the angle count and flags: a clip name, its codec
        // identifier and an STC id, 10 bytes each.
        for (unsigned angle = 1; angle < at(mpls, item + 34); ++angle) {
            add(text(mpls, item + 36 + 10 * (angle - 1), 5));
        }
    }
    return names;
}

ConvertedFiles convertedFiles(const Tree& tree) {
    ConvertedFiles files;
    for (const auto& [name, bytes] : tree) {
        const std::string low = lowered(name);
        const std::string folder = "bdmv/playlist/";
        if (low.rfind(folder, 0) != 0 || low.find('/', folder.size()) != std::string::npos ||
            low.size() < 5 || low.substr(low.size() - 5) != ".mpls") {
            continue;
        }
        if (files.playlist.empty() || low < lowered(files.playlist)) files.playlist = name;
    }
    if (files.playlist.empty()) throw std::runtime_error("the folder has no playlist");
    for (const auto& clip : playlistClipNames(tree.at(files.playlist))) {
        files.clipInfos.push_back(pathIgnoringCase(tree, "BDMV/CLIPINF/" + clip + ".clpi"));
        files.streams.push_back(pathIgnoringCase(tree, "BDMV/STREAM/" + clip + ".m2ts"));
    }
    return files;
}

std::size_t clipVideoEntry(const ByteString& clpi) {
    const std::size_t program = be32At(clpi, 12);
    const unsigned streams = at(clpi, program + 12);
    std::size_t entry = program + 14;
    for (unsigned k = 0; k < streams; ++k) {
        if (at(clpi, entry + 3) == kHevcAsMuxed || at(clpi, entry + 3) == kHevcUhd) return entry;
        entry += 3 + at(clpi, entry + 2);
    }
    throw std::runtime_error("clip without an HEVC entry");
}

ByteString uhdIndexExtension() {
    ByteString b;
    for (uint32_t v : {32u, 24u, 1u}) append32(b, v);
    append16(b, 3);
    append16(b, 1);
    for (uint32_t v : {24u, 12u, 8u}) append32(b, v);
    for (uint8_t v : {0x51, 0x00, 0x03, 0, 0, 0, 0, 0}) b.push_back(v);
    return b;
}

ByteString uhdPlaylistExtension(bool hdr, uint16_t maxLuminance, uint16_t minLuminance,
                                uint16_t maxCll, uint16_t maxFall) {
    ByteString b;
    for (uint32_t v : {56u, 24u, 1u}) append32(b, v);
    append16(b, 3);
    append16(b, 5);
    for (uint32_t v : {24u, 36u, 32u}) append32(b, v);
    for (uint8_t v : {0x01, 0, 0, 0, 0x10, 0, 0, 0}) b.push_back(v);
    if (!hdr) {
        b.resize(60, 0);
        return b;
    }
    // DCI-P3 primaries, D65 white point, 0.00002 units: green, blue, red, white, x before y.
    for (uint16_t v : {13250, 34500, 7500, 3000, 34000, 16000, 15635, 16450}) append16(b, v);
    for (uint16_t v : {maxLuminance, minLuminance, maxCll, maxFall}) append16(b, v);
    return b;
}

ByteString expectedIndex(const ByteString& original) {
    ByteString b = original;
    putText(b, 0, "INDX0300");
    if (be32At(b, 12) == 0) {
        putBe32(b, 12, uint32_t(original.size()));
        const ByteString block = uhdIndexExtension();
        b.insert(b.end(), block.begin(), block.end());
    }
    return b;
}

ByteString expectedMovieObject(const ByteString& original) {
    ByteString b = original;
    putText(b, 0, "MOBJ0300");
    return b;
}

ByteString expectedPlaylist(const ByteString& original, const ByteString& extension) {
    ByteString b = original;
    for (const std::size_t s : playlistStreamTables(original)) {
        if (at(original, s + 4) == 0) continue;  // no primary video stream
        const uint8_t type = at(original, s + 27);
        if (type == kHevcAsMuxed && (at(original, s + 28) & 0xF0) == kFormat1080p) {
            b.at(s + 27) = kHevcUhd;
            b.at(s + 28) = uint8_t((b.at(s + 28) & 0x0F) | kFormat2160p);
            putText(b, 0, "MPLS0300");
        } else if (type == kHevcUhd) {
            putText(b, 0, "MPLS0300");
        }
    }
    if (be32At(b, 16) == 0) {
        putBe32(b, 16, uint32_t(original.size()));
        b.insert(b.end(), extension.begin(), extension.end());
    }
    return b;
}

ByteString expectedClipInfo(const ByteString& original, bool hdr) {
    ByteString b = original;
    const std::size_t program = be32At(original, 12);
    const unsigned streams = at(original, program + 12);
    std::size_t e = program + 14;
    for (unsigned k = 0; k < streams; ++k) {
        if (at(original, e + 3) == kHevcAsMuxed) {
            putText(b, 0, "HDMV0300");
            b.at(e + 3) = kHevcUhd;
            b.at(e + 4) = uint8_t((b.at(e + 4) & 0x0F) | kFormat2160p);
            b.at(e + 6) = hdr ? kDynamicRangeHdr10Bt2020 : kDynamicRangeSdrBt709;
        }
        e += 3 + at(original, e + 2);
    }
    return b;
}

uint32_t crc32Mpeg2Reference(const uint8_t* data, std::size_t size) {
    // Bit by bit, as the polynomial is written: no table to share a fault with.
    uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
    }
    return crc;
}

namespace {

std::size_t payloadStart(const uint8_t* p) {
    switch ((p[7] >> 4) & 3) {
        case 1:
            return 8;
        case 3:
            return 9 + std::size_t(p[8]);
        default:
            return kPacketSize;
    }
}

// The PMT PID the first program association section with a non-zero program names.
uint16_t programMapPid(const ByteString& stream) {
    for (std::size_t off = 0; off + kPacketSize <= stream.size(); off += kPacketSize) {
        const uint8_t* p = stream.data() + off;
        if (packetPid(p) != 0 || !(p[5] & 0x40)) continue;
        const std::size_t length = be16At(stream, off + 10) & 0x0FFF;
        for (std::size_t e = 17; e < length + 7 && e + 4 <= kPacketSize; e += 4) {
            if (p[e] != 0 || p[e + 1] != 0) return uint16_t(((p[e + 2] & 0x1F) << 8) | p[e + 3]);
        }
    }
    return 0;
}

// Offset of the video entry in a complete section (starting with its table id), or npos.
std::size_t videoEntry(const ByteString& section) {
    const std::size_t length = ((section[1] & 0x0F) << 8) | section[2];
    std::size_t e = 12 + (((section[10] & 0x0F) << 8) | section[11]);
    while (e + 5 <= length + 3 - 4) {
        const uint16_t pid = uint16_t(((section[e + 1] & 0x1F) << 8) | section[e + 2]);
        if (pid == kVideoPid) return e;
        e += 5 + (((section[e + 3] & 0x0F) << 8) | section[e + 4]);
    }
    return std::string::npos;
}

}  // namespace

ByteString expectedStream(const ByteString& original) {
    ByteString b = original;
    const uint16_t pmtPid = programMapPid(original);
    for (std::size_t off = 0; off + kPacketSize <= b.size(); off += kPacketSize) {
        uint8_t* p = b.data() + off;
        const uint16_t pid = packetPid(p);
        if (pid == pmtPid && pmtPid != 0 && (p[5] & 0x40)) {
            // Pointer field 0: the section begins at packet byte 9.
            const std::size_t length = ((p[10] & 0x0F) << 8) | p[11];
            if (9 + length + 3 > kPacketSize) throw std::runtime_error("multi-packet section");
            ByteString section(p + 9, p + 9 + length + 3);
            const std::size_t e = videoEntry(section);
            if (e == std::string::npos || section[e] != kHevcAsMuxed) continue;
            section[e] = kHevcUhd;
            if (std::equal(section.begin() + std::ptrdiff_t(e + 7),
                           section.begin() + std::ptrdiff_t(e + 11), "HEVC")) {
                putText(section, e + 7, "HDMV");
            }
            const uint32_t crc = crc32Mpeg2Reference(section.data(), section.size() - 4);
            putBe32(section, section.size() - 4, crc);
            std::copy(section.begin(), section.end(), p + 9);
            std::fill(p + 9 + section.size(), p + kPacketSize, 0xFF);
        } else if (pid == kVideoPid) {
            const std::size_t start = payloadStart(p);
            if (start + 4 <= kPacketSize && p[start] == 0 && p[start + 1] == 0 &&
                p[start + 2] == 1 && p[start + 3] == 0xE0) {
                p[start + 3] = 0xE1;
            }
        }
    }
    return b;
}

StreamCensus censusOf(const ByteString& stream) {
    StreamCensus census;
    const uint16_t pmtPid = programMapPid(stream);
    ByteString section;
    for (std::size_t off = 0; off + kPacketSize <= stream.size(); off += kPacketSize) {
        const uint8_t* p = stream.data() + off;
        const uint16_t pid = packetPid(p);
        if (pid == kVideoPid) {
            const std::size_t start = payloadStart(p);
            if (start + 4 <= kPacketSize && p[start] == 0 && p[start + 1] == 0 &&
                p[start + 2] == 1) {
                census.pesStartsE0 += p[start + 3] == 0xE0;
                census.pesStartsE1 += p[start + 3] == 0xE1;
            }
            continue;
        }
        if (pid != pmtPid || pmtPid == 0) continue;
        const std::size_t start = payloadStart(p);
        if (start >= kPacketSize) continue;
        if (p[5] & 0x40) {
            const std::size_t pointer = p[start];
            section.assign(p + start + 1 + pointer, p + kPacketSize);
        } else if (!section.empty()) {
            section.insert(section.end(), p + start, p + kPacketSize);
        }
        if (section.size() < 3) continue;
        const std::size_t total = 3 + (((section[1] & 0x0F) << 8) | section[2]);
        if (section.size() < total) continue;
        section.resize(total);
        ++census.sections;
        if (crc32Mpeg2Reference(section.data(), section.size()) == 0) ++census.sectionsCrcValid;
        const std::size_t e = videoEntry(section);
        if (e != std::string::npos) {
            census.videoTypeHevc += section[e] == kHevcAsMuxed;
            census.videoTypeUhd += section[e] == kHevcUhd;
            census.identifierHdmv += std::equal(section.begin() + std::ptrdiff_t(e + 7),
                                                section.begin() + std::ptrdiff_t(e + 11), "HDMV");
        }
        section.clear();
    }
    return census;
}

Tree expectedTree(const Tree& original, const DiscCase& disc, bool withStream) {
    Tree tree = original;
    const ConvertedFiles files = convertedFiles(original);
    const std::string index = "BDMV/index.bdmv";
    const std::string movieObject = "BDMV/MovieObject.bdmv";
    tree[index] = expectedIndex(original.at(index));
    tree[movieObject] = expectedMovieObject(original.at(movieObject));
    tree[files.playlist] =
        expectedPlaylist(original.at(files.playlist),
                         uhdPlaylistExtension(disc.hdr, disc.maxLuminance, disc.minLuminance,
                                              disc.maxCll, disc.maxFall));
    std::vector<std::string> navigation{index, movieObject, files.playlist};
    for (const auto& clipInfo : files.clipInfos) {
        tree[clipInfo] = expectedClipInfo(original.at(clipInfo), disc.hdr);
        navigation.push_back(clipInfo);
    }
    const std::string bdmv = "BDMV/";
    for (const auto& name : navigation) {
        tree[bdmv + "BACKUP/" + name.substr(bdmv.size())] = tree[name];
    }
    if (withStream && disc.sectionsInOnePacket) {
        for (const auto& stream : files.streams) tree[stream] = expectedStream(original.at(stream));
    }
    return tree;
}

}  // namespace quorvel::test::e2e

// Navigation files this conversion is not for: another type code or version, a file cut short
// so that a block its header addresses runs past its end, and extension data without the UHD
// entry. Each is refused with a line that says why, and neither file of the step changes.

#include <gtest/gtest.h>

#include <functional>

#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/NavigationTestSupport.h"
#include "navigation/PlaylistAdjuster.h"

namespace quorvel::test::nav {
namespace {

enum class Kind { Index, MovieObject, Playlist, ClipInfo };

struct KindCase {
    const char* name;
    Kind kind;
    const char* label;  // as the refusal line names the kind
    const char* typeCode;
    std::size_t headerSize;  // shorter files get the header refusal the adjusters' tests pin
    std::function<ByteString()> valid;
};

// One damaged file; an empty reason accepts any refusal.
struct Damage {
    std::string name;
    ByteString bytes;
    std::string reason;
};

class ForeignFile : public ::testing::TestWithParam<KindCase> {
  protected:
    std::string target() const {
        switch (GetParam().kind) {
            case Kind::Index: return index;
            case Kind::MovieObject: return movieObject;
            case Kind::Playlist: return dir / "00000.mpls";
            case Kind::ClipInfo: return dir / "00000.clpi";
        }
        return {};
    }

    // Writes `bytes` as the file of this kind (and a sound partner for the index step), runs the
    // step and expects a refusal of that file with every byte kept.
    void expectRefused(const Damage& damage) {
        SCOPED_TRACE(damage.name);
        StepRunner h;
        const ByteString partner =
            GetParam().kind == Kind::Index ? buildMovieObject() : buildIndex();
        writeFile(target(), damage.bytes);
        writeFile(GetParam().kind == Kind::Index ? movieObject : index, partner);
        bool accepted = true;
        switch (GetParam().kind) {
            case Kind::Index:
            case Kind::MovieObject: accepted = h.bdmv(index, movieObject); break;
            case Kind::Playlist: accepted = h.playlist(target()); break;
            case Kind::ClipInfo: accepted = h.clip(target()); break;
        }
        EXPECT_FALSE(accepted);
        EXPECT_SAME_BYTES(damage.bytes, readFile(target()));
        EXPECT_SAME_BYTES(partner, readFile(GetParam().kind == Kind::Index ? movieObject : index));
        const std::string prefix =
            " - Cannot adjust " + std::string(GetParam().label) + " " + target() + ": ";
        const std::string line = h.lines().back();
        EXPECT_EQ(0u, line.rfind(prefix, 0)) << line;
        if (!damage.reason.empty()) {
            EXPECT_EQ(prefix + damage.reason + ".", line);
        }
    }

    TempDir dir;
    std::string index = dir / "index.bdmv";
    std::string movieObject = dir / "MovieObject.bdmv";
};

ByteString withBytes(ByteString b, std::size_t offset, const char* text) {
    putAt(b, offset, asciiBytes(text));
    return b;
}

// The last block of each kind's valid file and how a cut by one byte is reported.
std::string lastByteCutReason(const KindCase& c, std::size_t size) {
    const std::string end = " runs past the end of the file (" + std::to_string(size - 1) +
                            " bytes)";
    switch (c.kind) {
        case Kind::Index: return "the Indexes block (42 bytes at offset 78)" + end;
        case Kind::MovieObject: return "the MovieObjects block (250 bytes at offset 40)" + end;
        case Kind::Playlist:
            return "the PlayListMark block (16 bytes at offset " + std::to_string(size - 16) +
                   ")" + end;
        case Kind::ClipInfo:
            return "the ClipMark block at offset " + std::to_string(size - 4) + end;
    }
    return {};
}

TEST_P(ForeignFile, IsRefusedAndLeftByteIdentical) {
    const KindCase& c = GetParam();
    const ByteString valid = c.valid();
    std::vector<Damage> damages = {
        {"ForeignTypeCode", withBytes(valid, 0, "JUNK"),
         "its type code is \"JUNK\", not \"" + std::string(c.typeCode) + "\""},
        {"Version0100", withBytes(valid, 4, "0100"),
         "its version is \"0100\", not 0200 or 0300"},
        {"UnprintableTypeCode", withBytes(valid, 0, "\x01Q\"Z"),
         "its type code is \"\\x01Q\\x22Z\", not \"" + std::string(c.typeCode) + "\""},
        {"CutByOneByte", ByteString(valid.begin(), valid.end() - 1),
         lastByteCutReason(c, valid.size())},
    };
    for (std::size_t size = c.headerSize; size + 1 < valid.size(); ++size) {
        damages.push_back({"CutTo" + std::to_string(size),
                           ByteString(valid.begin(), valid.begin() + static_cast<long>(size)),
                           ""});
    }
    for (const Damage& damage : damages) expectRefused(damage);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ForeignFile,
    ::testing::Values(
        KindCase{"Index", Kind::Index, "index file", "INDX", 16, [] { return buildIndex(); }},
        KindCase{"MovieObject", Kind::MovieObject, "MovieObject file", "MOBJ", 8,
                 [] { return buildMovieObject(); }},
        KindCase{"Playlist", Kind::Playlist, "playlist", "MPLS", 20,
                 [] { return buildPlaylist({PlayItem{}}).bytes; }},
        KindCase{"ClipInfo", Kind::ClipInfo, "clip information file", "HDMV", 16,
                 [] { return buildClip({ClipStream{}}).bytes; }}),
    [](const auto& info) { return std::string(info.param.name); });

// Extension data that are not the UHD block: the file cannot be marked UHD without the block,
// and the block cannot be added while the address is taken.
class ForeignExtension : public ForeignFile {};

ByteString changed(ByteString block, std::size_t offset, std::uint32_t value) {
    put32(block, offset, value);
    return block;
}

TEST_P(ForeignExtension, IsRefusedAndLeftByteIdentical) {
    const bool isIndex = GetParam().kind == Kind::Index;
    const ByteString uhd = isIndex ? uhdIndexBlock() : uhdExtension(true);
    const auto build = [&](const ByteString& extension) {
        return isIndex ? buildIndex(extension) : buildPlaylist({PlayItem{}}, extension).bytes;
    };
    const std::size_t at = build({}).size();
    const std::string reason = "it carries extension data (at offset " + std::to_string(at) +
                               ") without the UHD entry (ID1 3, ID2 " + (isIndex ? "1" : "5") +
                               "), and marking it UHD without that entry would be wrong";
    // The other kind's UHD entry: ID1 3 with the ID2 of the other file.
    const ByteString otherEntry = changed(uhd, 12, isIndex ? 0x00030005 : 0x00030001);
    const std::vector<Damage> damages = {
        {"OtherEntry", build(otherEntry), reason},
        {"NoEntries", build(changed(uhd, 8, 0)), reason},
        {"EntryDataPastTheBlock", build(changed(uhd, 20, 0x100)), reason},
        {"EntryDataEmpty", build(changed(uhd, 20, 0)), reason},
        {"EmptyBlock", build(be32ToBytes(0)), reason},
        {"BlockPastTheEnd", build(changed(uhd, 0, 0x1000)),
         "the ExtensionData block (4100 bytes at offset " + std::to_string(at) +
             ") runs past the end of the file (" + std::to_string(at + uhd.size()) + " bytes)"},
    };
    for (const Damage& damage : damages) expectRefused(damage);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ForeignExtension,
    ::testing::Values(
        KindCase{"Index", Kind::Index, "index file", "INDX", 16, [] { return buildIndex(); }},
        KindCase{"Playlist", Kind::Playlist, "playlist", "MPLS", 20,
                 [] { return buildPlaylist({PlayItem{}}).bytes; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quorvel::test::nav

// The undo's plan and restore over a small disc and a record of its conversion, in every state a
// cut job or a cut undo can leave and in states that something else made.

#include <gtest/gtest.h>

#include <functional>

#include "fileio/UndoRestore.h"
#include "support/TestSupport.h"

namespace quorvel::undo {
namespace {

using test::TempDir;
using test::Tree;

constexpr const char* kIndex = "BDMV/index.bdmv";
constexpr const char* kIndexCopy = "BDMV/BACKUP/index.bdmv";
constexpr const char* kCreatedCopy = "BDMV/BACKUP/MovieObject.bdmv";
constexpr const char* kStream = "BDMV/STREAM/00000.m2ts";
constexpr std::int64_t kPacket = 192;
constexpr std::int64_t kPesPacket = kPacket;          // packet 1 starts a video PES
constexpr std::int64_t kPesIdAt = kPesPacket + 4 + 4 + 3;
constexpr std::int64_t kSectionAt = 3 * kPacket + 20;  // a section's changed bytes in packet 3

ByteString indexOriginal() {
    ByteString bytes = asciiBytes("INDX0200");
    for (int k = 0; k < 32; ++k) bytes.push_back(static_cast<std::uint8_t>(k));
    bytes[12] = bytes[13] = bytes[14] = bytes[15] = 0;
    return bytes;
}

FileEntry indexEntry() {
    FileEntry entry;
    entry.path = kIndex;
    entry.original = indexOriginal();
    entry.edits = {{0, asciiBytes("INDX0200"), asciiBytes("INDX0300")},
                   {12, {0, 0, 0, 0}, {0, 0, 0, 40}},
                   {40, {}, ByteString(36, 0xAB)}};
    entry.convertedLength = 76;
    return entry;
}

ByteString converted(const FileEntry& entry) {
    ByteString bytes = entry.original;
    bytes.resize(static_cast<std::size_t>(entry.convertedLength));
    for (const FieldEdit& edit : entry.edits) {
        std::copy(edit.converted.begin(), edit.converted.end(), bytes.begin() + edit.offset);
    }
    return bytes;
}

ByteString streamOriginal() {
    ByteString bytes(4 * kPacket, 0x11);
    for (std::int64_t p = 0; p < 4; ++p) {
        bytes[p * kPacket + 4] = 0x47;
        bytes[p * kPacket + 5] = 0x01;
        bytes[p * kPacket + 7] = 0x10;  // payload only
    }
    bytes[kPesPacket + 5] = 0x41;  // payload unit start
    bytes[kPesPacket + 8] = 0;
    bytes[kPesPacket + 9] = 0;
    bytes[kPesPacket + 10] = 1;
    bytes[kPesIdAt] = kPesIdOriginal;
    bytes[kSectionAt] = 0x06;
    return bytes;
}

std::vector<ByteChange> sectionBytes() {
    return {{kSectionAt, 0x06, 0x24}, {kSectionAt + 40, 0x11, 0x5A}, {kSectionAt + 41, 0x11, 0xA5}};
}

Tree originalTree() {
    return {{kIndex, indexOriginal()},
            {kIndexCopy, indexOriginal()},
            {kStream, streamOriginal()}};
}

Tree convertedTree() {
    Tree tree = originalTree();
    tree[kIndex] = converted(indexEntry());
    tree[kIndexCopy] = tree[kIndex];
    tree[kCreatedCopy] = tree[kIndex];
    tree[kStream][kPesIdAt] = kPesIdConverted;
    for (const ByteChange& change : sectionBytes()) tree[kStream][change.offset] = change.converted;
    return tree;
}

// The record of the conversion, entry by entry, as the reader hands it out.
ReadResult readRecordOfTheDisc(RecordVisitor& visitor) {
    visitor.header({kFormatVersion, "0123456789abcdef", "/discs/A", false});
    visitor.file(indexEntry());
    FileEntry copy;
    copy.kind = FileEntry::Kind::BackupCopy;
    copy.path = kIndexCopy;
    copy.original = indexOriginal();
    copy.copyOf = kIndex;
    visitor.file(copy);
    FileEntry created = copy;
    created.path = kCreatedCopy;
    created.existed = false;
    created.original.clear();
    visitor.file(created);
    visitor.stream({7, kStream, 4 * kPacket});
    visitor.batch({7, 0, 4 * kPacket});
    StreamChange pes;
    pes.stream = 7;
    pes.packetOffset = kPesPacket;
    visitor.change(pes);
    StreamChange section;
    section.kind = StreamChange::Kind::Section;
    section.stream = 7;
    section.packetOffset = 3 * kPacket;
    section.packetOffsets = {3 * kPacket};
    section.bytes = sectionBytes();
    visitor.change(section);
    ReadResult result;
    result.outcome = ReadResult::Outcome::Read;
    return result;
}

void writeTree(const std::string& root, const Tree& tree) {
    for (const auto& [path, bytes] : tree) {
        test::makeDirs(root + path.substr(0, path.rfind('/')));
        test::writeFile(root + path, bytes);
    }
}

class StopAfter final : public StopToken {
  public:
    explicit StopAfter(int answers) : m_left(answers) {}
    bool stopRequested() override { return m_left-- <= 0; }

  private:
    int m_left;
};

struct UndoCase {
    const char* name;
    std::function<void(Tree&)> state;  // from the converted disc
    const char* refusedFile;           // nullptr: the undo restores the original
};

const UndoCase kCases[] = {
    {"Converted", [](Tree&) {}, nullptr},
    {"NothingConverted", [](Tree& t) { t = originalTree(); }, nullptr},
    {"JobCutBeforeTheBlockAndStream",
     [](Tree& t) {
         t[kIndex] = converted(indexEntry());
         t[kIndex].resize(40);
         t[kStream] = streamOriginal();
         t[kIndexCopy] = indexOriginal();
         t.erase(kCreatedCopy);
     },
     nullptr},
    {"UndoCutHalfWayThroughASectionAndAField",
     [](Tree& t) {
         t[kStream][kSectionAt] = 0x06;
         t[kIndex][5] = '2';
     },
     nullptr},
    {"UndoCutAfterTheTruncation", [](Tree& t) { t[kIndex].resize(40); }, nullptr},
    {"NavigationByteChangedElsewhere", [](Tree& t) { t[kIndex][30] ^= 0xFF; }, kIndex},
    {"NavigationOfAnotherLength", [](Tree& t) { t[kIndex].push_back(0); }, kIndex},
    {"NavigationFieldOfAThirdValue", [](Tree& t) { t[kIndex][6] = '4'; }, kIndex},
    {"AppendedBlockChanged", [](Tree& t) { t[kIndex][50] = 0; }, kIndex},
    {"NavigationFileMissing", [](Tree& t) { t.erase(kIndex); }, kIndex},
    {"StreamIdOfAThirdValue", [](Tree& t) { t[kStream][kPesIdAt] = 0xE2; }, kStream},
    {"StreamNoLongerAPesStart", [](Tree& t) { t[kStream][kPesPacket + 10] = 2; }, kStream},
    {"SectionByteOfAThirdValue", [](Tree& t) { t[kStream][kSectionAt + 40] = 0; }, kStream},
    {"StreamOfAnotherSize",
     [](Tree& t) { t[kStream].insert(t[kStream].end(), kPacket, 0); }, kStream},
    {"CopyOfSomethingElse", [](Tree& t) { t[kIndexCopy][20] ^= 1; }, kIndexCopy},
    {"CreatedCopyOfSomethingElse", [](Tree& t) { t[kCreatedCopy] = {1, 2, 3}; }, kCreatedCopy},
};

class UndoRestore : public ::testing::TestWithParam<UndoCase> {};

TEST_P(UndoRestore, RestoresTheOriginalOrRefusesNamingTheFileAndChangesNothing) {
    const UndoCase& row = GetParam();
    TempDir disc;
    Tree before = convertedTree();
    row.state(before);
    writeTree(disc.path(), before);

    const UndoPlan plan = planUndo(disc.path(), readRecordOfTheDisc);
    if (row.refusedFile != nullptr) {
        ASSERT_EQ(plan.refusals.size(), 1u);
        EXPECT_EQ(plan.refusals[0].file, disc / row.refusedFile);
        EXPECT_NE(plan.refusals[0].line.find(row.refusedFile), std::string::npos)
            << plan.refusals[0].line;
        EXPECT_EQ(test::readTree(disc.path()), before);
        return;
    }
    ASSERT_TRUE(plan.accepted()) << plan.refusals[0].line;
    NeverStop never;
    const RestoreResult restored = restoreFiles(disc.path(), readRecordOfTheDisc, plan, never);
    ASSERT_EQ(restored.outcome, RestoreResult::Outcome::Restored) << restored.file << restored.why;
    EXPECT_EQ(test::readTree(disc.path()), originalTree());
    EXPECT_TRUE(planUndo(disc.path(), readRecordOfTheDisc).files.empty());
}

INSTANTIATE_TEST_SUITE_P(States, UndoRestore, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A stop asked for at any of the restore's questions leaves a disc that the next undo completes.
TEST(UndoRestoreStop, AStoppedUndoIsCompletedByTheNext) {
    for (int answers = 0; answers < 6; ++answers) {
        TempDir disc;
        writeTree(disc.path(), convertedTree());
        StopAfter stop(answers);
        const UndoPlan plan = planUndo(disc.path(), readRecordOfTheDisc);
        ASSERT_TRUE(plan.accepted());
        restoreFiles(disc.path(), readRecordOfTheDisc, plan, stop);
        NeverStop never;
        const UndoPlan rest = planUndo(disc.path(), readRecordOfTheDisc);
        ASSERT_TRUE(rest.accepted()) << "stopped after " << answers << ": " << rest.refusals[0].line;
        EXPECT_EQ(restoreFiles(disc.path(), readRecordOfTheDisc, rest, never).outcome,
                  RestoreResult::Outcome::Restored);
        EXPECT_EQ(test::readTree(disc.path()), originalTree()) << "stopped after " << answers;
    }
}

}  // namespace
}  // namespace quorvel::undo

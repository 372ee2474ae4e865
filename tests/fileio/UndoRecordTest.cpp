// The undo record's file: what is written reads back the same, a record cut anywhere reads as
// its whole entries, and the batches stay near two bytes per changed packet.

#include <gtest/gtest.h>

#include <vector>

#include "fileio/UndoRecord.h"
#include "support/TestSupport.h"

namespace quorvel::undo {
namespace {

using test::TempDir;

// Every entry as the reader hands it on, one line each.
struct Transcript final : RecordVisitor {
    std::vector<std::string> lines;
    bool header(const RecordHeader& h) override {
        lines.push_back("H " + h.identity + " " + h.discPath + (h.presentState ? " present" : ""));
        return true;
    }
    bool file(const FileEntry& f) override {
        std::string line = "F " + f.path + " " + std::to_string(f.original.size()) + " " +
                           (f.existed ? "" : "absent ") + std::to_string(f.convertedLength) + " " + f.copyOf;
        for (const FieldEdit& e : f.edits) {
            line += " @" + std::to_string(e.offset) + ":" + std::to_string(e.original.size()) + ">" +
                    std::to_string(e.converted.size());
        }
        lines.push_back(line);
        return true;
    }
    bool stream(const StreamEntry& s) override {
        lines.push_back("S " + std::to_string(s.number) + " " + s.path + " " + std::to_string(s.size));
        return true;
    }
    bool batch(const BatchEntry& b) override {
        lines.push_back("B " + std::to_string(b.stream) + " " + std::to_string(b.from) + ".." +
                        std::to_string(b.to));
        return true;
    }
    bool change(const StreamChange& c) override {
        std::string line = c.kind == StreamChange::Kind::PesStreamId ? "P " : "M ";
        line += std::to_string(c.packetOffset);
        for (const std::int64_t at : c.packetOffsets) line += " p" + std::to_string(at);
        for (const ByteChange& b : c.bytes) {
            line += " " + std::to_string(b.offset) + "=" + std::to_string(b.original) + ">" +
                    std::to_string(b.converted);
        }
        lines.push_back(line);
        return true;
    }
};

constexpr std::int64_t kPacket = 192;

// A record with every kind of entry: two sections alike (the second says so with one bit), a
// section over two packets, PES starts close together and far apart.
std::vector<std::string> writeSample(const std::string& path, std::vector<std::int64_t>& ends) {
    RecordWriter writer;
    std::string why;
    EXPECT_TRUE(writer.create(path, {kFormatVersion, "0123456789abcdef", "/discs/Film", false}, &why)) << why;
    ends.push_back(writer.size());
    FileEntry playlist{FileEntry::Kind::Navigation, "BDMV/PLAYLIST/00000.mpls", true,
                       ByteString(300, 7), {{4, asciiBytes("0200"), asciiBytes("0300")}, {300, {}, ByteString(60, 1)}},
                       360, ""};
    FileEntry copy{FileEntry::Kind::BackupCopy, "BDMV/BACKUP/PLAYLIST/00000.mpls", false, {}, {}, 0,
                   "BDMV/PLAYLIST/00000.mpls"};
    EXPECT_TRUE(writer.addFile(playlist, &why));
    ends.push_back(writer.size());
    EXPECT_TRUE(writer.addFile(copy, &why));
    ends.push_back(writer.size());
    EXPECT_TRUE(writer.addStream({0, "BDMV/STREAM/00000.m2ts", 100 * kPacket}, &why));
    ends.push_back(writer.size());

    BatchEncoder batch;
    batch.begin(0, 0);
    const std::vector<ByteChange> typeAndCrc = {{kPacket + 26, 0x06, 0x24}, {kPacket + 40, 0x11, 0x22}};
    batch.addSection({kPacket}, typeAndCrc);
    batch.addPes(3 * kPacket);
    batch.addPes(40000 * kPacket);
    batch.addSection({40001 * kPacket}, {{40001 * kPacket + 26, 0x06, 0x24}, {40001 * kPacket + 40, 0x11, 0x22}});
    batch.addSection({40010 * kPacket, 40011 * kPacket, 40014 * kPacket},
                     {{40010 * kPacket + 190, 0x06, 0x24}, {40014 * kPacket + 7, 0x13, 0x14}});
    EXPECT_TRUE(writer.addBatch(batch.finish(40020 * kPacket), &why));
    ends.push_back(writer.size());
    EXPECT_TRUE(writer.flush(&why));
    return {"H 0123456789abcdef /discs/Film",
            "F BDMV/PLAYLIST/00000.mpls 300 360  @4:4>4 @300:0>60",
            "F BDMV/BACKUP/PLAYLIST/00000.mpls 0 absent 0 BDMV/PLAYLIST/00000.mpls",
            "S 0 BDMV/STREAM/00000.m2ts 19200",
            "B 0 0..7683840",
            "M 192 p192 218=6>36 232=17>34",
            "P 576",
            "P 7680000",
            "M 7680192 p7680192 7680218=6>36 7680232=17>34",
            "M 7681920 p7681920 p7682112 p7682688 7682110=6>36 7682695=19>20"};
}

TEST(UndoRecordFile, ReadsBackWhatWasWrittenAndAnyCutAsItsWholeEntries) {
    TempDir dir;
    const std::string path = dir.path() + "state/quorvel/0123456789abcdef-00000000.undo";
    std::vector<std::int64_t> ends;
    const std::vector<std::string> expected = writeSample(path, ends);
    Transcript whole;
    const ReadResult read = readRecord(path, whole);
    EXPECT_EQ(read.outcome, ReadResult::Outcome::Read);
    EXPECT_FALSE(read.tornTail);
    EXPECT_EQ(whole.lines, expected);

    // Cut at every length, and with the last byte of each length flipped: the entries wholly
    // before the cut are read, the rest is a torn tail; without a whole header it is no record.
    const ByteString bytes = test::readFile(path);
    for (std::size_t length = 0; length <= bytes.size(); ++length) {
        for (const bool flip : {false, true}) {
            if (flip && length == 0) continue;
            ByteString cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
            if (flip) cut.back() ^= 0x5A;
            test::writeFile(path, cut);
            // A flipped byte spoils the entry it lies in.
            const std::int64_t intact = static_cast<std::int64_t>(length) - (flip ? 1 : 0);
            std::size_t whole = 0;
            while (whole < ends.size() && ends[whole] <= intact) ++whole;
            Transcript part;
            const ReadResult r = readRecord(path, part);
            SCOPED_TRACE("length " + std::to_string(length) + (flip ? " flipped" : ""));
            if (whole == 0) {
                EXPECT_EQ(r.outcome, ReadResult::Outcome::NotARecord);
                continue;
            }
            EXPECT_EQ(r.outcome, ReadResult::Outcome::Read);
            EXPECT_EQ(r.wholeLength, ends[whole - 1]);
            EXPECT_EQ(r.tornTail, r.wholeLength != static_cast<std::int64_t>(length));
            // One line per entry, and the batch's changes behind it.
            const std::size_t lines = whole < ends.size() ? whole : expected.size();
            EXPECT_EQ(part.lines, std::vector<std::string>(expected.begin(), expected.begin() + lines));
        }
    }

    // A writer that goes on with a torn record cuts the tail off first.
    test::writeFile(path, ByteString(bytes.begin(), bytes.end() - 3));
    RecordWriter again;
    std::string why;
    ASSERT_TRUE(again.openExisting(path, &why)) << why;
    EXPECT_EQ(again.size(), ends[3]);
    EXPECT_TRUE(again.addStream({1, "BDMV/STREAM/00001.m2ts", 0}, &why));
    Transcript after;
    EXPECT_EQ(readRecord(path, after).tornTail, false);
    EXPECT_EQ(after.lines.back(), "S 1 BDMV/STREAM/00001.m2ts 0");
}

TEST(UndoRecordFile, BatchesTakeAboutTwoBytesPerChangedPacket) {
    // Per changed packet in a batch: (packets between changes, sections among them, bytes).
    struct Density {
        std::int64_t gap;
        int sectionEvery;  // 0: none
        double atMost;
    };
    for (const Density density : {Density{1400, 3, 2.0}, Density{100, 0, 1.01}, Density{4000, 2, 2.0}}) {
        BatchEncoder batch;
        batch.begin(0, 0);
        constexpr int kChanges = 10000;
        for (int k = 1; k <= kChanges; ++k) {
            const std::int64_t at = k * density.gap * kPacket;
            if (density.sectionEvery != 0 && k % density.sectionEvery == 0) {
                batch.addSection({at}, {{at + 26, 0x06, 0x24}, {at + 40, 0x11, 0x22}});
            } else {
                batch.addPes(at);
            }
        }
        // The batch's own fields and its first section's changed bytes come once.
        constexpr double kOnce = 32;
        const double perChange =
            (static_cast<double>(batch.finish((kChanges + 1) * density.gap * kPacket).size()) - kOnce) /
            kChanges;
        EXPECT_LE(perChange, density.atMost) << "gap " << density.gap;
    }
}

}  // namespace
}  // namespace quorvel::undo

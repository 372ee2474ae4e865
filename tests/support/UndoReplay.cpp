#include "support/UndoReplay.h"

#include <filesystem>
#include <fstream>
#include <map>

#include "support/TestSupport.h"

namespace quorvel::test {

namespace {

class Replay final : public undo::RecordVisitor {
  public:
    explicit Replay(std::string disc) : m_disc(std::move(disc)) {}
    std::string problem;

    bool file(const undo::FileEntry& entry) override {
        const std::string path = m_disc + entry.path;
        if (!entry.existed) {
            std::filesystem::remove(path);
            return true;
        }
        writeFile(path, entry.original);
        return true;
    }
    bool stream(const undo::StreamEntry& entry) override {
        m_streams[entry.number] = m_disc + entry.path;
        return true;
    }
    bool change(const undo::StreamChange& change) override {
        std::fstream file(m_streams.at(change.stream), std::ios::in | std::ios::out | std::ios::binary);
        if (change.kind == undo::StreamChange::Kind::PesStreamId) {
            std::uint8_t packet[192];
            file.seekg(change.packetOffset);
            file.read(reinterpret_cast<char*>(packet), sizeof packet);
            const std::size_t index = undo::pesStreamIdIndex(packet);
            if (index == 0 || (packet[index] != undo::kPesIdOriginal &&
                               packet[index] != undo::kPesIdConverted)) {
                return fail("the PES start at " + std::to_string(change.packetOffset) + " is neither");
            }
            file.seekp(change.packetOffset + static_cast<std::int64_t>(index));
            file.put(static_cast<char>(undo::kPesIdOriginal));
            return true;
        }
        for (const undo::ByteChange& byte : change.bytes) {
            file.seekg(byte.offset);
            const auto now = static_cast<std::uint8_t>(file.get());
            if (now != byte.original && now != byte.converted) {
                return fail("the section byte at " + std::to_string(byte.offset) + " is neither");
            }
            file.seekp(byte.offset);
            file.put(static_cast<char>(byte.original));
        }
        return true;
    }

  private:
    bool fail(const std::string& why) {
        problem = why;
        return false;
    }
    std::string m_disc;
    std::map<std::uint32_t, std::string> m_streams;
};

}  // namespace

std::string replayUndoRecord(const std::string& record, const std::string& disc) {
    Replay replay(disc);
    const undo::ReadResult read = undo::readRecord(record, replay);
    if (!replay.problem.empty()) return replay.problem;
    if (read.outcome != undo::ReadResult::Outcome::Read) return "the record cannot be read: " + read.reason;
    return {};
}

std::string onlyRecordIn(const std::string& folder) {
    std::string found;
    if (!std::filesystem::is_directory(folder)) return {};
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!found.empty()) return {};
        found = entry.path().string();
    }
    return found;
}

}  // namespace quorvel::test

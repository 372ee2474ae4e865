#include "app/Undo.h"

namespace quorvel {

namespace {

// Stand-in until the record's reader lands: no disc has a record.
class NoRecords final : public UndoRecords {
  public:
    RecordLookup find(const std::string&, const std::string&) override { return {}; }
    std::unique_ptr<RecordedDisc> open(const std::string&, std::string& why) override {
        why = "no reader";
        return nullptr;
    }
    bool remove(const std::string&, std::string&) override { return true; }
    void removeLeftovers(const std::string&) override {}
};

}  // namespace

std::unique_ptr<UndoRecords> makeUndoRecords() {
    return std::make_unique<NoRecords>();
}

}  // namespace quorvel

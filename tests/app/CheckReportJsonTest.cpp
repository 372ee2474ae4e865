#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "app/cli/CheckReport.h"

namespace quorvel::cli {
namespace {

std::string fromHex(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// Every text of the document is valid UTF-8 whatever bytes the names hold: a bad byte is written
// as \xNN and the exact bytes stand beside the text; a valid text stands as it is, alone.
TEST(CheckReportJson, EveryTextIsValidUtf8WithTheExactBytesBeside) {
    struct Case {
        const char* label;
        std::string name;
        std::string shown;  // the name as the document writes it
    };
    const Case cases[] = {
        {"ascii", "disc A", "disc A"},
        {"multi-byte", "d\xc3\xbcsc \xe2\x9c\x93 \xf0\x9f\x98\x80",
         "d\xc3\xbcsc \xe2\x9c\x93 \xf0\x9f\x98\x80"},
        {"lone byte", "bad\xff", "bad\\xff"},
        {"stray continuation", "\x80x", "\\x80x"},
        {"overlong", "\xc0\xaf", "\\xc0\\xaf"},
        {"surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
        {"cut at the end", "ab\xe2\x82", "ab\\xe2\\x82"},
        {"cut in the middle", "\xe2\x82z", "\\xe2\\x82z"},
    };
    for (const Case& c : cases) {
        const std::string source = "/discs/" + c.name + "/";
        SourceCheck check;
        check.source = source;
        check.state = SourceCheck::State::Refused;
        check.refusals.push_back(
            {source + "BDMV/STREAM/" + c.name + ".m2ts", "cannot read " + source, ""});
        check.notes = {"first note", c.name + ": second note"};
        check.changes.push_back(
            {source + "BDMV/" + c.name, "field " + c.name, 4, {0x01}, {0x02}, 1});

        const std::string text = checkReportJson({check});
        nlohmann::json document;
        ASSERT_NO_THROW(document = nlohmann::json::parse(text)) << c.label;
        const nlohmann::json& out = document["sources"][0];
        const nlohmann::json& refusal = out["refusals"][0];
        const nlohmann::json& change = out["changes"][0];
        const bool escaped = c.shown != c.name;

        EXPECT_EQ(out["path"], "/discs/" + c.shown + "/") << c.label;
        EXPECT_EQ(refusal["file"], "BDMV/STREAM/" + c.shown + ".m2ts") << c.label;
        EXPECT_EQ(refusal["reason"], "cannot read /discs/" + c.shown + "/") << c.label;
        EXPECT_EQ(out["notes"][1], c.shown + ": second note") << c.label;
        EXPECT_EQ(change["file"], "BDMV/" + c.shown) << c.label;
        EXPECT_EQ(change["field"], "field " + c.shown) << c.label;
        EXPECT_EQ(change["after"], "02") << c.label;
        if (!escaped) {
            EXPECT_EQ(text.find("Hex"), std::string::npos) << c.label;
            continue;
        }
        EXPECT_EQ(fromHex(out["pathHex"]), source) << c.label;
        EXPECT_EQ(fromHex(refusal["fileHex"]), "BDMV/STREAM/" + c.name + ".m2ts") << c.label;
        EXPECT_EQ(fromHex(refusal["reasonHex"]), "cannot read " + source) << c.label;
        ASSERT_EQ(out["notesHex"].size(), 2u) << c.label;
        EXPECT_EQ(fromHex(out["notesHex"][0]), "first note") << c.label;
        EXPECT_EQ(fromHex(out["notesHex"][1]), c.name + ": second note") << c.label;
        EXPECT_EQ(fromHex(change["fileHex"]), "BDMV/" + c.name) << c.label;
        EXPECT_EQ(fromHex(change["fieldHex"]), "field " + c.name) << c.label;
    }
}

}  // namespace
}  // namespace quorvel::cli

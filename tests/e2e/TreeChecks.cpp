#include "e2e/TreeChecks.h"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

#include "support/TestSupport.h"

namespace quorvel::test::e2e {

namespace {

bool isStream(const std::string& name) {
    const std::string extension = ".m2ts";
    if (name.size() < extension.size()) return false;
    for (std::size_t i = 0; i < extension.size(); ++i) {
        const char c = name[name.size() - extension.size() + i];
        if (std::tolower(static_cast<unsigned char>(c)) != extension[i]) return false;
    }
    return true;
}

}  // namespace

void expectTree(const std::string& folder, const Tree& expected, bool skipStreams) {
    const Tree actual = readTree(folder);
    std::set<std::string> names;
    for (const auto& [name, bytes] : expected) names.insert(name);
    for (const auto& [name, bytes] : actual) names.insert(name);
    for (const auto& name : names) {
        if (skipStreams && isStream(name)) continue;
        ASSERT_TRUE(expected.count(name)) << "unexpected file " << name;
        ASSERT_TRUE(actual.count(name)) << "missing file " << name;
        EXPECT_TRUE(expected.at(name) == actual.at(name))
            << name << ": " << describeFirstDifference(expected.at(name), actual.at(name));
    }
}

void expectConvertedCensus(const std::string& name, const ByteString& original,
                           const ByteString& converted) {
    SCOPED_TRACE(name);
    const StreamCensus before = censusOf(original);
    const StreamCensus after = censusOf(converted);
    EXPECT_EQ(converted.size(), original.size());
    ASSERT_GT(after.sections, 0);
    EXPECT_EQ(after.sections, before.sections);
    EXPECT_EQ(after.sectionsCrcValid, after.sections);
    EXPECT_EQ(after.videoTypeUhd, after.sections);
    EXPECT_EQ(after.identifierHdmv, after.sections);
    EXPECT_EQ(after.pesStartsE0, 0);
    EXPECT_EQ(after.pesStartsE1, before.pesStartsE0);
}

}  // namespace quorvel::test::e2e

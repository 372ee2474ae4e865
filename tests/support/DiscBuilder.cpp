#include "support/DiscBuilder.h"

#include <cstdio>
#include <vector>

#include "navigation/NavigationTestSupport.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel::test {

namespace {

constexpr int kPesEvery = 10;

ByteString stream(int videoPackets) {
    StreamBuilder builder;
    builder.addPat();
    builder.addSection(pmtSection({StreamEntry{0x06, kTestVideoPid, registrationDescriptor()}}));
    for (int k = 0; k < videoPackets; ++k) {
        builder.addVideo(k % kPesEvery == 0 ? pesStart() : ByteString(16, 0x5A), k % kPesEvery == 0);
    }
    return builder.bytes();
}

std::string clipName(int clip) {
    char name[16];
    std::snprintf(name, sizeof name, "%05d", clip);
    return name;
}

}  // namespace

void makeDisc(const std::string& root, const DiscRecipe& recipe) {
    for (const char* folder : {"BDMV/PLAYLIST", "BDMV/CLIPINF", "BDMV/STREAM"}) {
        makeDirs(root + folder);
        if (recipe.backup && std::string(folder) != "BDMV/STREAM") {
            makeDirs(root + "BDMV/BACKUP/" + (folder + 5));
        }
    }
    std::vector<nav::PlayItem> items;
    std::vector<std::string> names;
    for (int k = 0; k < recipe.clips; ++k) names.push_back(clipName(k));
    for (const std::string& name : names) items.push_back(nav::PlayItem{.clip = name.c_str()});

    std::vector<std::pair<std::string, ByteString>> navigation = {
        {"index.bdmv", nav::buildIndex()},
        {"MovieObject.bdmv", nav::buildMovieObject()},
        {"PLAYLIST/00000.mpls", nav::buildPlaylist(items).bytes},
    };
    for (const std::string& name : names) {
        navigation.push_back({"CLIPINF/" + name + ".clpi", nav::buildClip({nav::ClipStream{}}).bytes});
        writeFile(root + "BDMV/STREAM/" + name + ".m2ts", stream(recipe.videoPackets));
    }
    for (const auto& [name, bytes] : navigation) {
        writeFile(root + "BDMV/" + name, bytes);
        if (recipe.backup) writeFile(root + "BDMV/BACKUP/" + name, bytes);
    }
}

}  // namespace quorvel::test

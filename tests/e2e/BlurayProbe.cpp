#include "e2e/BlurayProbe.h"

#ifdef QUORVEL_HAVE_LIBBLURAY
#include <libbluray/bluray.h>
#include <libbluray/clpi_data.h>
#include <libbluray/log_control.h>
#endif

#include "fileio/FileSystem.h"

namespace quorvel::test::e2e {

#ifdef QUORVEL_HAVE_LIBBLURAY

namespace {

std::string* g_messages = nullptr;

void captureMessage(const char* message) {
    if (g_messages != nullptr && message != nullptr) *g_messages += message;
}

constexpr uint8_t kFirstVideoCodingTypes[] = {0x01, 0x02, 0x1B, 0x20, 0x24, 0xEA, 0x06};

bool isVideoCodingType(uint8_t type) {
    for (uint8_t t : kFirstVideoCodingTypes) {
        if (t == type) return true;
    }
    return false;
}

}  // namespace

BlurayView readWithLibbluray(const std::string& folder) {
    BlurayView view;
    view.available = true;
    g_messages = &view.messages;
    bd_set_debug_handler(captureMessage);
    bd_set_debug_mask(DBG_CRIT);

    if (BLURAY* bd = bd_open(folder.c_str(), nullptr)) {
        view.opened = true;
        view.titles = int(bd_get_titles(bd, TITLES_ALL, 0));
        if (BLURAY_TITLE_INFO* info = bd_get_playlist_info(bd, 0, 0)) {
            if (info->clip_count > 0 && info->clips[0].video_stream_count > 0) {
                view.playlistCodingType = info->clips[0].video_streams[0].coding_type;
                view.playlistFormat = info->clips[0].video_streams[0].format;
            }
            bd_free_title_info(info);
        }
        bd_close(bd);
    }

    const std::string clipFolder = fs::resolveCaseInsensitive(folder + "/BDMV", "CLIPINF");
    const std::string clip = fs::resolveCaseInsensitive(clipFolder, "00000.clpi");
    if (struct clpi_cl* cl = bd_read_clpi(clip.c_str())) {
        if (cl->program.num_prog > 0) {
            const CLPI_PROG& program = cl->program.progs[0];
            for (int i = 0; i < program.num_streams; ++i) {
                const CLPI_PROG_STREAM& stream = program.streams[i];
                if (!isVideoCodingType(stream.coding_type)) continue;
                view.clipCodingType = stream.coding_type;
                view.clipFormat = stream.format;
                view.clipDynamicRange = stream.dynamic_range_type;
                view.clipColorSpace = stream.color_space;
                break;
            }
        }
        bd_free_clpi(cl);
    }
    bd_set_debug_handler(nullptr);
    g_messages = nullptr;
    return view;
}

#else

BlurayView readWithLibbluray(const std::string&) {
    return {};
}

#endif

}  // namespace quorvel::test::e2e

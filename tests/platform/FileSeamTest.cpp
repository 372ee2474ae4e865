#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "platform/File.h"
#include "platform/Folder.h"
#include "support/TestSupport.h"

namespace quorvel::platform {
namespace {

using test::TempDir;
using Kind = Problem::Kind;

ByteString numbered(std::size_t size) {
    ByteString bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return bytes;
}

// What each kind of entry looks like, and what opening it as a file or as a folder gives. A link
// is never followed by an open, whether it leads to a file, a folder or nowhere, and a FIFO is
// refused without waiting for a writer (a blocking open would hang here for ever).
TEST(FolderEntries, LinksFifosAndMissingNamesAreReportedNotFollowedNorCreated) {
    TempDir dir;
    test::writeFile(dir / "file", numbered(20));
    test::makeDirs(dir / "folder");
    ASSERT_EQ(::symlink((dir / "file").c_str(), (dir / "fileLink").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "folder").c_str(), (dir / "folderLink").c_str()), 0);
    ASSERT_EQ(::symlink((dir / "absent").c_str(), (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        const char* name;
        EntryKind itself;    // look without following a link
        EntryKind followed;  // look following it
        Kind asFile;         // Folder::openFile
        Kind asFolder;       // Folder::openFolder
    } cases[] = {
        {"file", EntryKind::File, EntryKind::File, Kind::None, Kind::NotFolder},
        {"folder", EntryKind::Folder, EntryKind::Folder, Kind::NotRegular, Kind::None},
        {"fileLink", EntryKind::Link, EntryKind::File, Kind::Linked, Kind::Linked},
        {"folderLink", EntryKind::Link, EntryKind::Folder, Kind::Linked, Kind::Linked},
        {"dangling", EntryKind::Link, EntryKind::Missing, Kind::Linked, Kind::Linked},
        {"fifo", EntryKind::Other, EntryKind::Other, Kind::NotRegular, Kind::NotFolder},
        {"missing", EntryKind::Missing, EntryKind::Missing, Kind::Missing, Kind::Missing},
    };
    const Folder folder = Folder::open(dir.path());
    ASSERT_TRUE(folder.isOpen());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(folder.look(c.name, false).kind, c.itself);
        EXPECT_EQ(folder.look(c.name, true).kind, c.followed);
        for (const auto access : {File::Access::Read, File::Access::ReadWrite}) {
            Problem problem;
            const File file = folder.openFile(c.name, access, &problem);
            EXPECT_EQ(file.isOpen(), c.asFile == Kind::None);
            EXPECT_EQ(problem.kind, c.asFile);
            EXPECT_EQ(problem.reason.empty(), c.asFile == Kind::None);
        }
        Problem problem;
        EXPECT_EQ(folder.openFolder(c.name, &problem).isOpen(), c.asFolder == Kind::None);
        EXPECT_EQ(problem.kind, c.asFolder);
    }
    EXPECT_FALSE(test::exists(dir / "absent"));
    EXPECT_FALSE(test::exists(dir / "missing"));
    EXPECT_EQ(test::readFile(dir / "file"), numbered(20));
}

// A name listed a moment ago may be gone when it is opened: each way in reports it missing.
TEST(FolderEntries, AFileThatVanishesAfterTheListingIsMissing) {
    TempDir dir;
    test::writeFile(dir / "gone", numbered(4));
    const Folder folder = Folder::open(dir.path());
    const std::vector<std::string> names = folder.names();
    ASSERT_EQ(names, std::vector<std::string>{"gone"});
    ASSERT_EQ(::unlink((dir / "gone").c_str()), 0);

    Problem problem;
    EXPECT_FALSE(folder.openFile(names.front(), File::Access::Read, &problem).isOpen());
    EXPECT_EQ(problem.kind, Kind::Missing);
    EXPECT_EQ(problem.reason, "No such file or directory");
    EXPECT_EQ(folder.look(names.front(), true).kind, EntryKind::Missing);
    EXPECT_FALSE(folder.openAnyForReading(names.front()).isOpen());
    EXPECT_EQ(lookAt(dir / "gone").kind, EntryKind::Missing);
    EXPECT_FALSE(folder.rename(names.front(), "other", &problem));
    EXPECT_EQ(problem.kind, Kind::Missing);
}

// A new file is created exclusively: a name already taken, by a link or a FIFO too, comes back
// as taken and is never opened. The rename then replaces whatever has the old name in one step,
// a link by the new file rather than the link's target.
TEST(FolderReplace, ANewFileRenamedOverTheOldReplacesItWhateverItIs) {
    const struct {
        const char* name;
        EntryKind old;
    } cases[] = {
        {"a file", EntryKind::File},
        {"a link", EntryKind::Link},
        {"a FIFO", EntryKind::Other},
        {"nothing", EntryKind::Missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        test::writeFile(dir / "target", numbered(3));
        if (c.old == EntryKind::File) test::writeFile(dir / "copy", numbered(9));
        if (c.old == EntryKind::Link) {
            ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "copy").c_str()), 0);
        }
        if (c.old == EntryKind::Other) {
            ASSERT_EQ(::mkfifo((dir / "copy").c_str(), 0600), 0);
        }
        const Folder folder = Folder::open(dir.path());
        Problem problem;
        EXPECT_EQ(folder.createFile("copy", 0600, &problem).isOpen(), c.old == EntryKind::Missing);
        EXPECT_EQ(problem.kind, c.old == EntryKind::Missing ? Kind::None : Kind::Exists);
        ::unlink((dir / "copy").c_str());  // only what the line above created
        if (c.old == EntryKind::File) test::writeFile(dir / "copy", numbered(9));
        if (c.old == EntryKind::Link) {
            ASSERT_EQ(::symlink((dir / "target").c_str(), (dir / "copy").c_str()), 0);
        }
        if (c.old == EntryKind::Other) {
            ASSERT_EQ(::mkfifo((dir / "copy").c_str(), 0600), 0);
        }

        File fresh = folder.createFile(".copy.new", 0600, &problem);
        ASSERT_TRUE(fresh.isOpen()) << problem.reason;
        const ByteString bytes = numbered(5);
        EXPECT_EQ(fresh.writeAt(bytes.data(), bytes.size(), 0).done, bytes.size());
        EXPECT_TRUE(fresh.setPermissions(0444));
        EXPECT_TRUE(fresh.flushToDisk());
        EXPECT_TRUE(fresh.close());
        EXPECT_TRUE(folder.rename(".copy.new", "copy", &problem)) << problem.reason;
        EXPECT_TRUE(folder.flushToDisk());

        EXPECT_EQ(folder.look("copy", false).kind, EntryKind::File);
        EXPECT_EQ(folder.look("copy", false).permissions, 0444u);
        EXPECT_EQ(test::readFile(dir / "copy"), bytes);
        EXPECT_EQ(test::readFile(dir / "target"), numbered(3));
        std::vector<std::string> names = folder.names();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"copy", "target"}));
    }
}

// A limit on the file's size makes a write stop part way, as a full disk does: the transfer
// says how far it got and why it stopped. A read that meets the end stops without a reason.
TEST(FileTransfer, AWriteCutShortSaysHowFarItGotAndWhy) {
    constexpr rlim_t kLimit = 8;
    const struct {
        const char* name;
        std::int64_t offset;
        std::size_t size;
        std::size_t done;
    } cases[] = {
        {"below the limit", 0, 5, 5},
        {"up to the limit", 3, 5, 5},
        {"across the limit", 4, 10, 4},
        {"beyond the limit", 9, 2, 0},
    };
    TempDir dir;
    const Folder folder = Folder::open(dir.path());
    const ByteString bytes = numbered(10);
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, SIG_IGN);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink((dir / "f").c_str());
        File file = folder.createFile("f", 0600);
        ASSERT_TRUE(file.isOpen());
        struct rlimit limit = saved;
        limit.rlim_cur = kLimit;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        const Transfer written = file.writeAt(bytes.data(), c.size, c.offset);
        std::string why;
        const bool grown = file.truncate(kLimit + 1, &why);
        ::setrlimit(RLIMIT_FSIZE, &saved);

        EXPECT_EQ(written.done, c.done);
        EXPECT_EQ(written.reason, c.done < c.size ? "File too large" : "");
        EXPECT_FALSE(grown);
        EXPECT_EQ(why, "File too large");
        const std::int64_t end = c.done == 0 ? 0 : c.offset + static_cast<std::int64_t>(c.done);
        EXPECT_EQ(file.size(), end);

        ByteString back(c.size + 4);
        const Transfer read =
            folder.openFile("f", File::Access::Read).readAt(back.data(), back.size(), c.offset);
        EXPECT_EQ(read.done, c.done);
        EXPECT_FALSE(read.failed());
    }
    ::signal(SIGXFSZ, SIG_DFL);
}

}  // namespace
}  // namespace quorvel::platform

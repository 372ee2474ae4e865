#include "support/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>

extern char** environ;

namespace quorvel::test {

namespace stdfs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (stdfs::temp_directory_path() / "quorvel-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = pattern + "/";
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Restore write permission below so that read-only test files can be removed.
    for (auto it = stdfs::recursive_directory_iterator(m_path, ignored);
         it != stdfs::recursive_directory_iterator(); it.increment(ignored)) {
        stdfs::permissions(it->path(), stdfs::perms::owner_all, stdfs::perm_options::add, ignored);
    }
    stdfs::remove_all(m_path, ignored);
}

ByteString readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return ByteString(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const ByteString& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + path);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void writeText(const std::string& path, const std::string& text) {
    writeFile(path, ByteString(text.begin(), text.end()));
}

long long modificationTime(const std::string& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec;
}

void makeDirs(const std::string& path) {
    stdfs::create_directories(path);
}

bool exists(const std::string& path) {
    std::error_code ignored;
    return stdfs::exists(path, ignored);
}

void copyTree(const std::string& from, const std::string& to) {
    stdfs::create_directories(to);
    stdfs::copy(from, to, stdfs::copy_options::recursive | stdfs::copy_options::overwrite_existing);
    for (auto& entry : stdfs::recursive_directory_iterator(to)) {
        stdfs::permissions(entry.path(), stdfs::perms::owner_read | stdfs::perms::owner_write,
                           stdfs::perm_options::add);
        if (entry.is_directory()) {
            stdfs::permissions(entry.path(), stdfs::perms::owner_exec, stdfs::perm_options::add);
        }
    }
}

std::vector<std::string> listFilesRecursively(const std::string& root) {
    std::vector<std::string> files;
    for (auto& entry : stdfs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file()) files.push_back(stdfs::relative(entry.path(), root).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

Tree readTree(const std::string& root) {
    Tree tree;
    for (const std::string& relative : listFilesRecursively(root)) {
        tree[relative] = readFile((stdfs::path(root) / relative).string());
    }
    return tree;
}

void makeSkeletonDisc(const std::string& root, bool withBackup) {
    const std::vector<std::pair<const char*, const char*>> files = {
        {"BDMV/index.bdmv", "INDX0200"},         {"BDMV/MovieObject.bdmv", "MOBJ0200"},
        {"BDMV/PLAYLIST/00000.mpls", "MPLS0200"}, {"BDMV/CLIPINF/00000.clpi", "HDMV0200"},
        {"BDMV/STREAM/00000.m2ts", "stream"}};
    for (const auto& [name, text] : files) {
        const std::string path = root + name;
        makeDirs(path.substr(0, path.rfind('/')));
        writeText(path, text);
        const std::string relative = std::string(name).substr(5);
        if (withBackup && relative.find("STREAM") == std::string::npos) {
            const std::string backup = root + "BDMV/BACKUP/" + relative;
            makeDirs(backup.substr(0, backup.rfind('/')));
            writeText(backup, text);
        }
    }
}

std::string fixturesDir() {
    const char* override = std::getenv("QUORVEL_FIXTURES");
    const std::string dir = override != nullptr ? override : QUORVEL_FIXTURES_DIR;
    return exists(dir) ? dir : std::string{};
}

std::string fixturePath(const std::string& name) {
    const std::string dir = fixturesDir();
    if (dir.empty()) return {};
    const std::string path = dir + "/" + name;
    return exists(path + "/BDMV") ? path : std::string{};
}

std::string describeFirstDifference(const ByteString& expected, const ByteString& actual) {
    std::size_t first = 0;
    while (first < expected.size() && first < actual.size() && expected[first] == actual[first]) {
        ++first;
    }
    if (first == expected.size() && first == actual.size()) return "identical";
    std::ostringstream text;
    text << "sizes " << expected.size() << " / " << actual.size() << ", first difference at offset "
         << first << "\n";
    auto dump = [&](const char* label, const ByteString& bytes) {
        text << label;
        const std::size_t from = first >= 8 ? first - 8 : 0;
        for (std::size_t i = from; i < bytes.size() && i < first + 16; ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
            text << (i == first ? " [" : " ") << hex << (i == first ? "]" : "");
        }
        text << "\n";
    };
    dump("expected:", expected);
    dump("actual:  ", actual);
    return text.str();
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> RecordingWindow::lines() const {
    return splitLines(logText);
}

std::string maskTime(const std::string& line) {
    // "[hh:mm:ss]" at the start of the line becomes "[ts]".
    constexpr std::string_view kShape = "[00:00:00]";
    if (line.size() < kShape.size()) return line;
    for (std::size_t i = 0; i < kShape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == '0' ? !digit : line[i] != kShape[i]) return line;
    }
    return "[ts]" + line.substr(kShape.size());
}

std::vector<std::string> maskTimes(const std::vector<std::string>& lines) {
    std::vector<std::string> masked;
    for (const auto& line : lines) masked.push_back(maskTime(line));
    return masked;
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& environment) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& wanted : environment) {
            if (wanted.substr(0, wanted.find('=')) == name) replaced = true;
        }
        if (!replaced) envStrings.push_back(entry);
    }
    for (const auto& wanted : environment) envStrings.push_back(wanted);
    std::vector<char*> envp;
    for (auto& entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    TempDir scratch;
    const std::string outPath = scratch / "out";
    const std::string errPath = scratch / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    CommandResult result;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return result;
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    const ByteString out = readFile(outPath);
    const ByteString err = readFile(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

}  // namespace quorvel::test

#include "support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "platform/TestOs.h"

namespace quorvel::test {

namespace stdfs = std::filesystem;

namespace {

// A test program run on its own (not by ctest, which sets them) still keeps the undo records of
// its jobs, and of the programs it starts, out of the user's home.
const bool kStateFolderSet = [] {
    if (std::getenv("QUORVEL_TEST_STATE") != nullptr) return true;
    os::setEnvironmentVariable("XDG_STATE_HOME", std::string(QUORVEL_TEST_STATE_DIR));
    os::setEnvironmentVariable("LOCALAPPDATA", std::string(QUORVEL_TEST_STATE_DIR));
    os::setEnvironmentVariable("QUORVEL_TEST_STATE", std::string(QUORVEL_TEST_STATE_DIR));
    return true;
}();

}  // namespace

TempDir::TempDir() {
    // A fresh name: create_directory says false when the folder was there already.
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const stdfs::path folder =
            stdfs::temp_directory_path() / ("quorvel-test-" + std::to_string(random()));
        if (stdfs::create_directory(folder)) {
            stdfs::permissions(folder, stdfs::perms::owner_all);
            m_path = folder.string() + "/";
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
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
    std::error_code error;
    const stdfs::file_time_type time = stdfs::last_write_time(path, error);
    if (error) return 0;
    const auto since = std::chrono::file_clock::to_sys(time).time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

void makeExecutable(const std::string& path) {
    using stdfs::perms;
    stdfs::permissions(path, perms::owner_all | perms::group_read | perms::group_exec |
                                 perms::others_read | perms::others_exec);
}

void writeFileAt(const std::string& path, std::int64_t offset, const ByteString& bytes) {
    if (!exists(path)) writeFile(path, {});
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + path + " at " + std::to_string(offset));
}

ByteString readFileAt(const std::string& path, std::int64_t offset, std::size_t size) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    ByteString bytes(size);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (!in) throw std::runtime_error("cannot read " + path + " at " + std::to_string(offset));
    return bytes;
}

std::vector<long> readProcessNumbers(const std::string& path) {
    const ByteString bytes = readFile(path);
    std::vector<long> numbers;
    for (const std::string& line : splitLines(std::string(bytes.begin(), bytes.end()))) {
        if (!line.empty()) numbers.push_back(std::stol(line));
    }
    return numbers;
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
        if (entry.is_regular_file()) {
            // '/'-separated on every system, as the tests name the files.
            files.push_back(stdfs::relative(entry.path(), root).generic_string());
        }
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
    TempDir scratch;
    const std::string outPath = scratch / "out";
    const std::string errPath = scratch / "err";
    CommandResult result;
    os::Program program(argv, {.environment = environment,
                               .emptyInput = true,
                               .outputTo = outPath,
                               .errorsTo = errPath});
    if (!program.started()) return result;
    result.exitCode = program.wait().exitCode;
    const ByteString out = readFile(outPath);
    const ByteString err = readFile(errPath);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

}  // namespace quorvel::test

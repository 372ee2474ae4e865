// TEMPORARY STAND-INS, to be deleted when the Win32 ChildProcess, Interrupt, LocalTime,
// ProgramLocation and Terminal are merged: they only let quorvel-cli.exe and the unit suites
// link. Nothing can be started (so the analyser never runs), no interrupt arrives, the clock
// says midnight and no folder is known.
#include "platform/ChildProcess.h"
#include "platform/Interrupt.h"
#include "platform/LocalTime.h"
#include "platform/ProgramLocation.h"
#include "platform/Terminal.h"

namespace quorvel::platform {

struct ChildProcess::Native {};

ChildProcess::ChildProcess() = default;
ChildProcess::~ChildProcess() = default;

bool ChildProcess::start(const std::string&, const std::vector<std::string>&,
                         const std::string&) {
    return false;
}

ChildProcess::ReadResult ChildProcess::read(char*, std::size_t, std::size_t& count,
                                            std::chrono::milliseconds) {
    count = 0;
    return ReadResult::Failed;
}

std::size_t ChildProcess::waitingBytes() const {
    return 0;
}

std::optional<int> ChildProcess::exitCode() {
    return std::nullopt;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds) {
    return std::nullopt;
}

void ChildProcess::terminate() {}

void ChildProcess::closeOutput() {}

long ChildProcess::processId() const {
    return -1;
}

void installInterruptHandlers() {}

bool interruptRequested() {
    return false;
}

void ignoreBrokenPipe() {}

TimeOfDay localTimeOfDay() {
    return {};
}

std::string programFolder() {
    return {};
}

std::string findOnPath(const std::string&) {
    return {};
}

std::string workingFolder() {
    return {};
}

std::string resolvedPath(const std::string&) {
    return {};
}

bool isTerminal(std::FILE*) {
    return false;
}

}  // namespace quorvel::platform

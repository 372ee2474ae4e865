#pragma once

// Checks of a converted disc folder that the end-to-end suites share.

#include <string>

#include "e2e/DiscExpectations.h"

namespace quorvel::test::e2e {

// Every file below `folder` equals its expected bytes; no file is missing or added. With
// `skipStreams` the stream files' bytes are left out (their sections span packets).
void expectTree(const std::string& folder, const Tree& expected, bool skipStreams = false);

// A converted stream whose program map sections span packets, read as a demultiplexer reads it:
// as many complete sections as before, each with a valid CRC and its video entry re-typed 0x24
// with "HDMV", and every video PES start re-marked.
void expectConvertedCensus(const std::string& name, const ByteString& original,
                           const ByteString& converted);

}  // namespace quorvel::test::e2e

// tests/ecap/ecap_test_support.h
//
// What the adapter's tests share: the content codings made with the real
// encoders, rule files installed under the test's CVIE_ROOT, and a driver that
// feeds a body to a PageAssembly in pieces and collects what it sends.

#pragma once

#include <stddef.h>

#include <memory>
#include <string>

#include "page_assembly.h"

namespace cvie {
class RulesHolder;
}

namespace cvie::testing {

// `text` coded as Content-Encoding `coding` ("gzip", "deflate", "br", "zstd";
// anything else: unchanged).
std::string Encode(const std::string& coding, const std::string& text);

// `count` bytes of `fill` coded as `coding` without holding them all at once
// ("gzip", "br", "zstd"): a small body that decodes to a huge page.
std::string EncodedBomb(const std::string& coding, const std::string& head, char fill,
                        size_t count);

// Prepares the data folders, declares this process the browser (so that
// pages are filtered) and installs the plain rule text `rules` as the rule
// file (enciphered, as `cvie update` installs one). True when installed.
bool InstallRules(const std::string& rules);

// A holder loaded from the installed rule file, or null.
std::shared_ptr<RulesHolder> LoadInstalledRules();

// What Squid would receive: the body fed in pieces of `piece` bytes (the
// pieces' sizes vary around it when `vary` is set), the bytes sent taken away
// after every piece, then the end.
struct AssemblyRun {
  ecap::PageAssembly::State state;
  std::string sent;         // every byte the assembly sent, in order
  size_t fed_when_passing;  // body bytes fed when it turned to passing
};
AssemblyRun DriveAssembly(ecap::PageAssembly* assembly, const std::string& body,
                          size_t piece, bool at_end = true);

}  // namespace cvie::testing

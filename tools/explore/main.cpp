// explore: runs seeds of the randomised schedule explorer until one fails.
//
//   explore --from N --count M [--verbose]
//
// Each seed is one whole run of the program (tests/support/explorer.h). On
// the first failing seed it prints the seed, what failed, the timeline and
// the replay command, and exits with 1; --verbose also prints the event log
// and the capture of that seed (and of a passing one when M is 1).
//
// Exit codes: 0 every seed passed; 1 a seed failed; 2 bad usage.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>

#include "support/cli.h"
#include "support/explorer.h"

namespace {

using uft::ParseNumber;

struct Options {
  std::uint64_t from = 1;
  std::uint64_t count = 100;
  bool verbose = false;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&] { return uft::OptionValue(argc, argv, i); };
    if (flag == "--from") {
      options.from = ParseNumber(value());
    } else if (flag == "--count") {
      options.count = ParseNumber(value());
    } else if (flag == "--verbose") {
      options.verbose = true;
    } else {
      throw std::invalid_argument("unknown option " + flag);
    }
  }
  return options;
}

void PrintDetails(const uft::ExploreResult& r) {
  std::cout << "events:\n" << r.events << "capture:\n" << r.capture;
  if (!r.report.empty()) std::cout << "report:\n" << r.report << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "explore: " << e.what() << "\nusage: explore --from N --count M [--verbose]\n";
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t updates = 0, ok = 0, errors = 0, virtualMs = 0, transfers = 0;
  for (std::uint64_t n = 0; n < options.count; ++n) {
    const std::uint64_t seed = options.from + n;
    const uft::ExploreResult r = uft::RunSeed(seed);
    updates += static_cast<std::uint64_t>(r.updates);
    ok += static_cast<std::uint64_t>(r.okBoxes);
    errors += static_cast<std::uint64_t>(r.errorBoxes);
    virtualMs += r.virtualMs;
    transfers += r.transfers;
    if (!r.ok || (options.verbose && options.count == 1)) {
      std::cout << r.Describe();
      if (options.verbose) PrintDetails(r);
    }
    if (!r.ok) {
      std::cout << "explore: seed " << seed << " failed after " << n << " passing seed(s)\n";
      return 1;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "explore: %llu seeds passed (%llu..%llu) in %.1f s, %.1f seeds/s; %llu updates "
      "(%llu OK, %llu Error), %llu transfers, %.0f virtual s\n",
      static_cast<unsigned long long>(options.count), static_cast<unsigned long long>(options.from),
      static_cast<unsigned long long>(options.from + options.count - 1), seconds,
      seconds > 0 ? static_cast<double>(options.count) / seconds : 0.0,
      static_cast<unsigned long long>(updates), static_cast<unsigned long long>(ok),
      static_cast<unsigned long long>(errors), static_cast<unsigned long long>(transfers),
      static_cast<double>(virtualMs) / 1000.0);
  return 0;
}

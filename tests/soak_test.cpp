// Many runs in a row in one folder, as a calling program makes them all day:
// each run ends alike, leaves nothing behind, and needs no more descriptors
// or memory than the first. Runs: TS_E2E_SOAK_RUNS, else 200 (10 under a
// wrapper, which is slow).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "program_run.h"
#include "pty_device.h"

namespace ts {
namespace {

using namespace ::ts::testing;

int soakRuns(const Target& target) {
  if (const char* runs = std::getenv("TS_E2E_SOAK_RUNS"); runs && *runs) return std::atoi(runs);
  return target.slow() ? 10 : 200;
}

std::set<std::string> listing(const std::filesystem::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    names.insert(std::filesystem::relative(entry.path(), folder).string());
  }
  return names;
}

TEST(Soak, RunsInARowInOneFolderDoNotGrow) {
  Installation install(testTarget());
  PtyDevice device({.echo = true});
  install.writeOrder(install.linkPort(device.terminalPath()), "R");
  const int runs = soakRuns(install.target);
  std::vector<RunResult> results;
  std::set<std::string> firstListing;
  for (int i = 0; i < runs; ++i) {
    RunResult run = install.run();
    ASSERT_EQ(run.exitStatus, 0) << "run " << i << ": " << run.errors;
    ASSERT_EQ(install.response(), "000|Sucesso\r\nR\r\n") << "run " << i;
    if (i == 0) firstListing = listing(install.folder.path());
    ASSERT_EQ(listing(install.folder.path()), firstListing) << "run " << i << " left something";
    results.push_back(std::move(run));
  }
  ASSERT_FALSE(results.empty());

  // A sample may catch the response's temporary file open: one more.
  const int descriptors = results.front().maxOpenFds;
  ASSERT_GT(descriptors, 0) << "no descriptor sample was taken";
  long firstPeak = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(10, results.size()); ++i) {
    firstPeak = std::max(firstPeak, results[i].peakRssKb);
  }
  // Page-sized jitter is no growth.
  const long slackKb = std::max(256L, firstPeak / 100);
  long lastPeak = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    EXPECT_LE(results[i].maxOpenFds, descriptors + 1) << "run " << i;
    EXPECT_LE(results[i].peakRssKb, firstPeak + slackKb) << "run " << i;
    lastPeak = results[i].peakRssKb;
  }
  RecordProperty("runs", runs);
  RecordProperty("descriptors", descriptors);
  RecordProperty("first_peak_rss_kb", static_cast<int>(firstPeak));
  RecordProperty("last_peak_rss_kb", static_cast<int>(lastPeak));
  std::printf("%d runs: %d descriptors at most, peak RSS %ld KB first, %ld KB last\n", runs,
              descriptors, firstPeak, lastPeak);
}

}  // namespace
}  // namespace ts

// SPDX-License-Identifier: Apache-2.0
// memmgr-run's report part where its command line cannot reach it cheaply: links the kernel
// would refuse to follow, which need a second user, a summary of names no file system test
// should have to create and of deaths that depend on the machine's core settings, and a chart
// of a run of which nothing was read, which a real run gives only when the program wins a race
// against the first reading, and the moment of a peak as the companion may have noted it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "report/chart.h"
#include "report/output_file.h"
#include "report/summary.h"
#include "report/timeline.h"

namespace {

class OutputFileTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "report_test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }
  std::string At(char const* name) const { return (directory_ / name).string(); }
  static std::string Contents(std::string const& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::filesystem::path directory_;
};

TEST_F(OutputFileTest, AChainOfLinksToNoFileYetCreatesTheLastTarget) {
  std::filesystem::create_directory(At("inner"));
  std::filesystem::create_symlink("inner/second", At("first"));
  std::filesystem::create_symlink("../target", At("inner/second"));
  OutputFile output;
  ASSERT_EQ(output.Open(At("first")), std::nullopt);
  ASSERT_TRUE(output.Write("written\n"));
  EXPECT_EQ(Contents(At("target")), "written\n");
  EXPECT_TRUE(std::filesystem::is_symlink(At("first")));
  EXPECT_TRUE(std::filesystem::is_symlink(At("inner/second")));
}

TEST_F(OutputFileTest, LinksInALoopAreRefused) {
  std::filesystem::create_symlink("b", At("a"));
  std::filesystem::create_symlink("a", At("b"));
  OutputFile output;
  EXPECT_EQ(output.Open(At("a")), std::string(std::strerror(ELOOP)));
  EXPECT_TRUE(std::filesystem::is_symlink(At("a")));
}

// In a sticky directory anyone may write to, another user's link may lead anywhere: it is not
// followed, as the kernel would not follow it for `>`.
TEST_F(OutputFileTest, AnotherUsersLinkInASharedStickyDirectoryIsNotFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "a link of another user's needs root to make";
  ASSERT_EQ(chmod(directory_.c_str(), 01777), 0);
  std::filesystem::create_symlink("planted", At("theirs"));
  ASSERT_EQ(lchown(At("theirs").c_str(), 65534, 65534), 0);
  std::filesystem::create_symlink("mine-target", At("mine"));
  // A link to a file that exists already is refused too: it would be replaced.
  std::ofstream(At("victim")) << "kept\n";
  std::filesystem::create_symlink("victim", At("theirs-existing"));
  ASSERT_EQ(lchown(At("theirs-existing").c_str(), 65534, 65534), 0);
  OutputFile theirs, theirsExisting, mine;
  EXPECT_EQ(theirs.Open(At("theirs")), std::string(std::strerror(EACCES)));
  EXPECT_EQ(theirsExisting.Open(At("theirs-existing")), std::string(std::strerror(EACCES)));
  EXPECT_EQ(mine.Open(At("mine")), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(At("planted")));
  EXPECT_EQ(Contents(At("victim")), "kept\n");
}

// The program's name is the caller's choice, and may be chosen to forge a line of the summary
// or to reach the terminal as an escape sequence. A death that dumped core says so, as shells do.
TEST(SummaryTest, TheProgramNameCannotForgeALineOrReachTheTerminalAndACoreIsTold) {
  char name[] = "/bin/a\nexit status: 0\x1b[31m";
  char* program[] = {name, nullptr};
  Options options;
  options.program = program;
  RunOutcome run;
  std::string const text = Summary(options, run);
  std::string const first = text.substr(0, text.find('\n'));
  EXPECT_EQ(first, "memmgr-run: /bin/a?exit status: 0?[31m");
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  run.status = SIGSEGV | 0x80;  // the wait status of a death by SIGSEGV with a core dump
  EXPECT_NE(Summary(options, run).find("ended by signal 11, Segmentation fault, core dumped)"),
            std::string::npos);
  run.status = SIGSEGV;
  EXPECT_NE(Summary(options, run).find("ended by signal 11, Segmentation fault)"),
            std::string::npos);
}

TEST(ChartTest, ARunOfWhichNothingWasReadIsStillDrawn) {
  if (!HaveGnuplot()) GTEST_SKIP() << "no gnuplot";
  Options options;
  RunOutcome run;
  run.end = 5'000'000;
  run.usage.ru_maxrss = 3072;  // the kernel's figure, which every run has
  Timeline timeline;
  ASSERT_TRUE(timeline.Keep(false, true));
  timeline.Add({0.005, -1, -1});  // the end: no exit record, and the memory gone
  std::string png;
  EXPECT_EQ(DrawChart(options, run, timeline, png), std::nullopt);
  EXPECT_TRUE(png.starts_with("\x89PNG\r\n\x1a\n"));
}

// The peak the summary reports is drawn at the last moment the companion noted, which may fall
// between two readings, but only when that moment is within its margin of the peak: past it,
// later heights went unnoted (the program took the pressure signal over) and the time is not
// known.
TEST(ChartTest, ThePeakIsDrawnAtTheMomentNotedOnlyWhenThatMomentHoldsIt) {
  Options options;
  RunOutcome run;
  run.start = 1'000'000'000;
  run.end = run.start + 2'000'000'000;
  int64_t const peak = int64_t{20} << 20;
  RunFigures exited{};
  exited.peak = peak;
  run.exitRecord = exited;
  Timeline timeline;
  ASSERT_TRUE(timeline.Keep(false, true));
  timeline.Add({0.010, 4 << 20, 8 << 20});
  timeline.Add({2.0, 0, -1});
  int64_t const noted = run.start + 500'000'000;
  auto const note = [&](int64_t total) {
    run.image.peakMoment = {noted, total, memmgr_run_peak_check(noted, total)};
  };
  note(peak - 65536);
  std::string const drawn = ChartScript(options, run, timeline);
  EXPECT_NE(drawn.find("$peak << EOD\n0.5000 20.000000\nEOD\n"), std::string::npos) << drawn;
  EXPECT_NE(drawn.find("title \"peak, at 0.500 s\""), std::string::npos) << drawn;
  if (HaveGnuplot()) {
    std::string png;
    EXPECT_EQ(DrawChart(options, run, timeline, png), std::nullopt);
  }
  note(peak - (1 << 20));
  EXPECT_EQ(ChartScript(options, run, timeline).find("$peak"), std::string::npos);
  run.image.peakMoment = {};
  EXPECT_EQ(ChartScript(options, run, timeline).find("$peak"), std::string::npos);
}

}  // namespace

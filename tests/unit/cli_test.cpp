#include "app/cli.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fake_mtd.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct Outcome {
  int status;
  std::string out;
  std::string err;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << "{" << o.status << ", \"" << o.out << "\", \"" << o.err << "\"}";
}

// Runs the command; with `closed` 0, 1 or 2, that standard descriptor is
// closed while it runs, as an init system or a script may start it, and
// with `nofile` no descriptor from that number on can be had.
Outcome run(std::vector<std::string> args, int closed = -1, rlim_t nofile = 0) {
  args.insert(args.begin(), "flashmac");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int saved_in = dup(STDIN_FILENO);
  CaptureStdout();
  CaptureStderr();
  if (closed >= 0) close(closed);
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit limit = old;
  if (nofile > 0) limit.rlim_cur = nofile;
  setrlimit(RLIMIT_NOFILE, &limit);
  const int status = flashmac::run(static_cast<int>(args.size()), argv.data());
  setrlimit(RLIMIT_NOFILE, &old);
  // Captures put stdout and stderr back over whatever holds them now.
  dup2(saved_in, STDIN_FILENO);
  close(saved_in);
  return {status, GetCapturedStdout(), GetCapturedStderr()};
}

class Cli : public testing::Test {
 protected:
  void SetUp() override {
    fake_mtd::reset();
    fake_mtd::Partition p;
    p.content =
        fake_mtd::patterned(0x20000, {0x0A, 0xAB, 0x1F, 0x00, 0xFF, 0x09});
    fake_mtd::add("3", p);
    before_ = fake_mtd::content("3");
  }
  void TearDown() override { EXPECT_EQ(fake_mtd::open_descriptors(), 0); }

  Bytes before_;
};

TEST_F(Cli, WrongArgumentCountsDoNothing) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"3", "00:11:22:33:44:55", "x"}, {"3", "4", "5", "6"}}) {
    const Outcome o = run(args);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "");
  }
  EXPECT_TRUE(fake_mtd::calls().empty());
  EXPECT_EQ(fake_mtd::content("3"), before_);
}

TEST_F(Cli, ReadPrintsTwoUpperCaseDigitsPerByteWithoutLineEnding) {
  const Outcome o = run({"3"});
  EXPECT_EQ(o, (Outcome{0, "0A:AB:1F:00:FF:09", ""}));
}

TEST_F(Cli, FailedReadPrintsZerosAndStillExitsZero) {
  const Outcome o = run({"9"});
  EXPECT_EQ(o,
            (Outcome{0, "00:00:00:00:00:00", "open /dev/mtdblock9 error\n"}));
}

TEST_F(Cli, WritePrintsWhatTheFlashHoldsAfterwards) {
  const Outcome o = run({"3", "00-11-22-aa-bb-cc"});
  EXPECT_EQ(o, (Outcome{0, "00:11:22:AA:BB:CC", ""}));
  Bytes want = before_;
  const Bytes rec = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
  std::copy(rec.begin(), rec.end(), want.begin() + 0xE000);
  EXPECT_EQ(fake_mtd::content("3"), want);
  // The read-back goes through a fresh descriptor and mapping.
  EXPECT_EQ(fake_mtd::call_names().back(), "close /dev/mtdblock3");
  EXPECT_EQ(fake_mtd::call_names().size(), 9u + 7u);
}

TEST_F(Cli, WriteThatFailsShowsTheRecordAsItStands) {
  fake_mtd::Partition p;
  p.content = before_;
  p.has_char = false;
  fake_mtd::add("4", p);
  EXPECT_EQ(run({"4", "00:11:22:33:44:55"}),
            (Outcome{0, "0A:AB:1F:00:FF:09", ""}));
  EXPECT_EQ(fake_mtd::content("4"), before_);

  p.has_char = true;
  p.has_block = false;
  fake_mtd::add("5", p);
  EXPECT_EQ(
      run({"5", "00:11:22:33:44:55"}),
      (Outcome{0, "00:00:00:00:00:00",
               "open /dev/mtdblock5 error\nopen /dev/mtdblock5 error\n"}));
}

TEST_F(Cli, ClosedStandardDescriptorsNeverReachTheFlash) {
  // A device opened where a closed stdout or stderr was would take the
  // address or a message. Each failure is reported while a device is open
  // or, where no descriptor above 2 can be had, just after one was.
  struct Case {
    std::vector<std::string> args;
    bool mmap_fails;
    rlim_t nofile;
    std::string out, err;
    bool written;
  };
  const std::string zeros = "00:00:00:00:00:00";
  const std::string mmap_error = "mmap /dev/mtdblock3 error\n";
  const std::string open_error = "open /dev/mtdblock3 error\n";
  const std::vector<std::string> read = {"3"};
  const std::vector<std::string> write = {"3", "00-11-22-aa-bb-cc"};
  const Case cases[] = {
      {read, true, 0, zeros, mmap_error, false},
      {write, true, 0, zeros, mmap_error + mmap_error, false},
      {write, false, 0, "00:11:22:AA:BB:CC", "", true},
      {read, false, 3, zeros, open_error, false},
      {write, false, 3, zeros, open_error, false},
  };
  Bytes written = before_;
  const Bytes rec = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};
  std::copy(rec.begin(), rec.end(), written.begin() + 0xE000);
  for (const int closed : {0, 1, 2}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message()
                   << "fd " << closed << " closed, " << c.args.size()
                   << " args, mmap " << (c.mmap_fails ? "fails" : "works")
                   << ", nofile " << c.nofile);
      SetUp();
      fake_mtd::faults().mmap_fails = c.mmap_fails;
      EXPECT_EQ(
          run(c.args, closed, c.nofile),
          (Outcome{0, closed == 1 ? "" : c.out, closed == 2 ? "" : c.err}));
      EXPECT_EQ(fake_mtd::content("3"), c.written ? written : before_);
      EXPECT_EQ(fake_mtd::std_descriptor_uses(), 0);
      EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    }
  }
}

TEST_F(Cli, RejectedAddressTouchesNoDeviceAndExitsOne) {
  for (const std::string text :
       {"00:11:22:33:44:5", "", "0:1:2:3:4:5", "00::11:22:33:44:55", "zz"}) {
    const Outcome o = run({"3", text});
    EXPECT_EQ(o, (Outcome{1, "", "invalid MAC address: " + text + "\n"}));
  }
  EXPECT_TRUE(fake_mtd::calls().empty());
  EXPECT_EQ(fake_mtd::content("3"), before_);
}

}  // namespace

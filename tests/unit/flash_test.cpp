#include <fcntl.h>
#include <gtest/gtest.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "fake_mtd.h"
#include "flash/mtd_record.h"

namespace {

using flashmac::MAC_LEN;
using flashmac::mtd_read_mac;
using flashmac::mtd_write_mac;
using Bytes = std::vector<std::uint8_t>;
using Names = std::vector<std::string>;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

const Bytes kRecord = {0x02, 0x1A, 0xB3, 0x4C, 0xD5, 0xF0};
const Bytes kNew = {0xA0, 0x0B, 0x1C, 0xD2, 0x3E, 0x4F};
constexpr std::size_t kSize = 0x20000;

class Flash : public testing::Test {
 protected:
  void SetUp() override {
    fake_mtd::reset();
    fake_mtd::take_peak_descriptors();
  }
  void TearDown() override {
    // Whatever the path taken, one device at a time, and nothing left
    // open or mapped.
    EXPECT_LE(fake_mtd::take_peak_descriptors(), 1);
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::live_mappings(), 0);
  }

  static fake_mtd::Partition part(std::size_t size = kSize) {
    fake_mtd::Partition p;
    p.content = fake_mtd::patterned(size, kRecord);
    return p;
  }

  // Runs a read into a sentinel-filled buffer; returns the result.
  int read(const std::string& name) {
    dst_.assign(MAC_LEN, 0xEE);
    CaptureStderr();
    const int r = mtd_read_mac(name.c_str(), dst_.data(), MAC_LEN);
    err_ = GetCapturedStderr();
    return r;
  }

  int write(const std::string& name, const Bytes& src = kNew) {
    CaptureStderr();
    const int r = mtd_write_mac(name.c_str(), src.data(), MAC_LEN);
    err_ = GetCapturedStderr();
    return r;
  }

  static Bytes with_record(Bytes content, const Bytes& rec) {
    std::copy(rec.begin(), rec.end(), content.begin() + 0xE000);
    return content;
  }

  Bytes dst_;
  std::string err_;
};

const Bytes kUntouched(MAC_LEN, 0xEE);
// The character node is let go before the block node is opened.
const Names kWriteSteps = {"open /dev/mtd3",       "ioctl /dev/mtd3",
                           "close /dev/mtd3",      "open /dev/mtdblock3",
                           "mmap /dev/mtdblock3",  "msync ",
                           "fsync /dev/mtdblock3", "munmap ",
                           "close /dev/mtdblock3"};

TEST_F(Flash, ReadCopiesTheRecordThroughAFixedSharedLockedMapping) {
  fake_mtd::add("3", part());
  EXPECT_EQ(read("3"), 0);
  EXPECT_EQ(dst_, kRecord);
  EXPECT_EQ(err_, "");
  // The character node, only read, serves the page check.
  EXPECT_EQ(fake_mtd::call_names(),
            (Names{"open /dev/mtd3", "ioctl /dev/mtd3", "close /dev/mtd3",
                   "open /dev/mtdblock3", "mmap /dev/mtdblock3", "munmap ",
                   "close /dev/mtdblock3"}));
  const auto& c = fake_mtd::calls();
  EXPECT_EQ(c[0].a, O_RDONLY);
  EXPECT_EQ(c[3].a, O_RDWR | O_SYNC);
  EXPECT_EQ(c[4].a, 0x10000);
  EXPECT_EQ(c[4].b, PROT_READ | PROT_WRITE);
  EXPECT_EQ(c[4].c, MAP_SHARED | MAP_LOCKED);
  EXPECT_EQ(c[4].d, 0);
  EXPECT_FALSE(c[4].hinted);
  EXPECT_EQ(c[5].a, 0x10000);
}

TEST_F(Flash, ReadByPartitionSize) {
  struct Case {
    std::size_t size;
    bool fits;
  };
  // The record ends at 0xE006; one byte short must not be touched (the
  // mapping would fault past the end of the device).
  const Case cases[] = {{0, false},      {0x1000, false}, {0xE000, false},
                        {0xE005, false}, {0xE006, true},  {0xF000, true},
                        {0x10000, true}, {0x100000, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    fake_mtd::reset();
    fake_mtd::add("7", part(c.size));
    if (c.fits) {
      EXPECT_EQ(read("7"), 0);
      EXPECT_EQ(dst_, kRecord);
      EXPECT_EQ(err_, "");
    } else {
      EXPECT_EQ(read("7"), -1);
      EXPECT_EQ(dst_, kUntouched);
      EXPECT_EQ(err_, "/dev/mtdblock7 too small for MAC record\n");
      EXPECT_EQ(fake_mtd::call_names(),
                (Names{"open /dev/mtd7", "ioctl /dev/mtd7", "close /dev/mtd7",
                       "open /dev/mtdblock7", "close /dev/mtdblock7"}));
    }
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::live_mappings(), 0);
  }
}

TEST_F(Flash, ReadFailuresReportTheBlockPathAndLeaveTheBufferAlone) {
  struct Case {
    const char* what;
    fake_mtd::Partition p;
    bool mmap_fails;
    long long unreadable_at;
    const char* err;
  };
  fake_mtd::Partition no_block = part();
  no_block.has_block = false;
  fake_mtd::Partition refuses = part();
  refuses.block_refuses = true;
  // Without a character node the block node's own reads are the check.
  fake_mtd::Partition block_only = part();
  block_only.has_char = false;
  // NAND's node reads (and fails) a 512-byte page, not the 4 KiB one
  // around it that the mapping brings in.
  fake_mtd::Partition nand = part();
  nand.writesize = 512;
  const char* unreadable = "read /dev/mtdblock3 error\n";
  const Case cases[] = {
      {"missing", no_block, false, -1, "open /dev/mtdblock3 error\n"},
      {"read-write refused", refuses, false, -1, "open /dev/mtdblock3 error\n"},
      {"mapping fails", part(), true, -1, "mmap /dev/mtdblock3 error\n"},
      // Any page that the locked mapping would bring in, not only the
      // record's, must read back before it is mapped.
      {"record's page unreadable", part(), false, 0xE003, unreadable},
      {"first page unreadable", part(), false, 0, unreadable},
      {"last mapped page unreadable", part(), false, 0xFFFF, unreadable},
      {"no character node, page unreadable", block_only, false, 0xE003,
       unreadable},
      {"NAND page inside a mapped page unreadable", nand, false, 0x4200,
       unreadable},
      {"NAND page beside the record unreadable", nand, false, 0xE3FF,
       unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_mtd::reset();
    fake_mtd::add("3", c.p);
    fake_mtd::faults().mmap_fails = c.mmap_fails;
    fake_mtd::faults().unreadable_at = c.unreadable_at;
    // Over NAND the block node fails a bad page at once.
    fake_mtd::faults().block_stalls = c.p.has_char && c.p.writesize == 1;
    EXPECT_EQ(read("3"), -1);
    EXPECT_EQ(err_, c.err);
    EXPECT_EQ(dst_, kUntouched);
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::stalls(), 0);
    if (c.unreadable_at >= 0) {
      Names want = {"open /dev/mtd3", "ioctl /dev/mtd3", "close /dev/mtd3",
                    "open /dev/mtdblock3", "close /dev/mtdblock3"};
      if (!c.p.has_char) want.erase(want.begin() + 1, want.begin() + 3);
      EXPECT_EQ(fake_mtd::call_names(), want);
    }
  }
  // Past the read mapping a bad page is none of the read's business.
  fake_mtd::reset();
  fake_mtd::add("3", part());
  fake_mtd::faults().unreadable_at = 0x10000;
  EXPECT_EQ(read("3"), 0);
  EXPECT_EQ(dst_, kRecord);
}

TEST_F(Flash, PartitionNameIsUsedUnchanged) {
  for (const std::string name : {"", "-1", "a/b", "3 4", "%s%n"}) {
    SCOPED_TRACE(name);
    fake_mtd::reset();
    fake_mtd::add(name, part());
    EXPECT_EQ(read(name), 0);
    EXPECT_EQ(dst_, kRecord);
    ASSERT_EQ(fake_mtd::calls().size(), 7u);
    EXPECT_EQ(fake_mtd::calls()[0].path, "/dev/mtd" + name);
    EXPECT_EQ(fake_mtd::calls()[3].path, "/dev/mtdblock" + name);
  }
}

TEST_F(Flash, ReadPathThatDoesNotFitIsNeverOpened) {
  // "/dev/mtdblock" is 13 bytes; the path and its NUL get 4096.
  const std::string fits(4096 - 13 - 1, 'n');
  const std::string too_long = fits + "n";
  fake_mtd::add(fits, part());
  fake_mtd::add(too_long, part());
  EXPECT_EQ(read(fits), 0);
  EXPECT_EQ(dst_, kRecord);

  fake_mtd::reset();
  fake_mtd::add(too_long, part());
  EXPECT_EQ(read(too_long), -1);
  // Never the cut path: that could name another, real device. (The
  // shorter character path fits.)
  EXPECT_EQ(err_, "/dev/mtdblocknnnnnnn...: name too long\n");
  const std::string chr = "/dev/mtd" + too_long;
  EXPECT_EQ(fake_mtd::call_names(),
            (Names{"open " + chr, "ioctl " + chr, "close " + chr}));
  EXPECT_EQ(dst_, kUntouched);
}

TEST_F(Flash, WriteChangesOnlyTheRecordAndSyncsBeforeLettingGo) {
  fake_mtd::add("3", part());
  const Bytes before = fake_mtd::content("3");
  EXPECT_EQ(write("3"), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(fake_mtd::content("3"), with_record(before, kNew));
  EXPECT_EQ(fake_mtd::call_names(), kWriteSteps);
  const auto& c = fake_mtd::calls();
  EXPECT_EQ(c[0].a, O_RDWR | O_SYNC);
  EXPECT_EQ(c[1].a, static_cast<long long>(MEMGETINFO));
  EXPECT_EQ(c[3].a, O_RDWR | O_SYNC);
  EXPECT_EQ(c[4].a, static_cast<long long>(kSize));
  EXPECT_EQ(c[4].b, PROT_READ | PROT_WRITE);
  EXPECT_EQ(c[4].c, MAP_SHARED | MAP_LOCKED);
  EXPECT_EQ(c[4].d, 0);
  EXPECT_FALSE(c[4].hinted);
  EXPECT_EQ(c[5].a, static_cast<long long>(kSize));
  EXPECT_EQ(c[5].b, MS_SYNC);
  EXPECT_EQ(c[7].a, static_cast<long long>(kSize));
}

TEST_F(Flash, WriteOfTheAddressAlreadyThereStoresNothing) {
  // Same steps and result as any write, but no page of the mapping is
  // dirtied: the fake maps it read-only, so a store would crash here.
  fake_mtd::add("3", part());
  const Bytes before = fake_mtd::content("3");
  fake_mtd::faults().mapping_read_only = true;
  EXPECT_EQ(write("3", kRecord), 0);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(fake_mtd::content("3"), before);
  EXPECT_EQ(fake_mtd::call_names(), kWriteSteps);
}

TEST_F(Flash, WriteByReportedSize) {
  struct Case {
    std::size_t file_size;
    long long reported;
    bool fits;
  };
  const Case cases[] = {
      {0xE006, -1, true},
      {0xF000, -1, true},
      {0x10000, -1, true},
      {0x100000, -1, true},
      {kSize, 0x10000, true},  // maps what MEMGETINFO
                               // says, not the file
      {0xE005, -1, false},
      {0xE000, -1, false},
      {0x1000, -1, false},
      {kSize, 0, false},
      {kSize, 0xE005, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.file_size << " " << c.reported);
    fake_mtd::reset();
    fake_mtd::Partition p = part(c.file_size);
    p.reported_size = c.reported;
    fake_mtd::add("5", p);
    const Bytes before = fake_mtd::content("5");
    if (c.fits) {
      EXPECT_EQ(write("5"), 0);
      EXPECT_EQ(fake_mtd::content("5"), with_record(before, kNew));
      const long long mapped =
          c.reported >= 0 ? c.reported : static_cast<long long>(c.file_size);
      EXPECT_EQ(fake_mtd::calls().at(4).a, mapped);
    } else {
      EXPECT_EQ(write("5"), -1);
      EXPECT_EQ(err_, "/dev/mtd5 too small for MAC record\n");
      EXPECT_EQ(fake_mtd::content("5"), before);
      EXPECT_EQ(
          fake_mtd::call_names(),
          (Names{"open /dev/mtd5", "ioctl /dev/mtd5", "close /dev/mtd5"}));
    }
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::live_mappings(), 0);
  }
}

TEST_F(Flash, WriteFailuresLeaveTheFlashUnchanged) {
  struct Case {
    const char* what;
    fake_mtd::Partition p;
    bool mmap_fails;
    const char* err;
    Names calls;
    long long unreadable_at = -1;
  };
  auto with = [](auto change) {
    fake_mtd::Partition p = part();
    change(p);
    return p;
  };
  const Names checked = {"open /dev/mtd3", "ioctl /dev/mtd3",
                         "close /dev/mtd3"};
  Names block_unopened = checked;
  block_unopened.push_back("open /dev/mtdblock3");
  Names block_checked = block_unopened;
  block_checked.push_back("close /dev/mtdblock3");
  const Case cases[] = {
      {"no character node",
       with([](auto& p) { p.has_char = false; }),
       false,
       "",
       {"open /dev/mtd3"}},
      {"character node refuses",
       with([](auto& p) { p.char_refuses = true; }),
       false,
       "",
       {"open /dev/mtd3"}},
      {"MEMGETINFO fails", with([](auto& p) { p.ioctl_fails = true; }), false,
       "Could not get MTD device info from /dev/mtd3\n", checked},
      {"no block node", with([](auto& p) { p.has_block = false; }), false,
       "open /dev/mtdblock3 error\n", block_unopened},
      {"block node refuses", with([](auto& p) { p.block_refuses = true; }),
       false, "open /dev/mtdblock3 error\n", block_unopened},
      {"mapping fails",
       part(),
       true,
       "mmap /dev/mtdblock3 error\n",
       {"open /dev/mtd3", "ioctl /dev/mtd3", "close /dev/mtd3",
        "open /dev/mtdblock3", "mmap /dev/mtdblock3", "close /dev/mtdblock3"}},
      // The whole partition is mapped and locked: a bad page anywhere,
      // even far from the record, stops the write before the mapping. The
      // character node reads it (a block node may retry it for minutes).
      {"last page unreadable", part(), false, "read /dev/mtd3 error\n", checked,
       kSize - 1},
      {"record's page unreadable", part(), false, "read /dev/mtd3 error\n",
       checked, 0xE000},
      // Past 16 MiB a step a byte too long would have drifted past a page.
      {"page at 16 MiB unreadable", part(0x1001000), false,
       "read /dev/mtd3 error\n", checked, 0x1000000},
      // NAND's node hands out a page ECC could not mend: the block node
      // reads it, and fails it.
      {"NAND page unreadable", with([](auto& p) { p.writesize = 512; }), false,
       "read /dev/mtd3 error\n", block_checked, 0x4200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake_mtd::reset();
    fake_mtd::add("3", c.p);
    fake_mtd::faults().mmap_fails = c.mmap_fails;
    fake_mtd::faults().unreadable_at = c.unreadable_at;
    fake_mtd::faults().block_stalls = c.p.writesize == 1;
    const Bytes before = fake_mtd::content("3");
    EXPECT_EQ(write("3"), -1);
    EXPECT_EQ(err_, c.err);
    EXPECT_EQ(fake_mtd::call_names(), c.calls);
    EXPECT_EQ(fake_mtd::content("3"), before);
    EXPECT_EQ(fake_mtd::open_descriptors(), 0);
    EXPECT_EQ(fake_mtd::stalls(), 0);
  }
}

TEST_F(Flash, WriteReportsAFailedSyncButStillReleasesEverything) {
  for (const bool msync_fails : {true, false}) {
    SCOPED_TRACE(msync_fails ? "msync" : "fsync");
    fake_mtd::reset();
    fake_mtd::add("3", part());
    fake_mtd::faults().msync_fails = msync_fails;
    fake_mtd::faults().fsync_fails = !msync_fails;
    EXPECT_EQ(write("3"), -1);
    EXPECT_EQ(err_, "sync /dev/mtdblock3 error\n");
    const Names names = fake_mtd::call_names();
    EXPECT_EQ(Names(names.begin() + 5, names.end()),
              (Names{"msync ", "fsync /dev/mtdblock3", "munmap ",
                     "close /dev/mtdblock3"}));
  }
}

TEST_F(Flash, WritePathsThatDoNotFit) {
  // The character path fits up to 4087 name bytes, the block path to 4082.
  const std::string block_too_long(4083, 'n');
  const std::string both_too_long(4088, 'n');
  fake_mtd::add(block_too_long, part());
  fake_mtd::add(both_too_long, part());

  EXPECT_EQ(write(both_too_long), -1);
  EXPECT_EQ(err_, "");
  EXPECT_TRUE(fake_mtd::calls().empty());

  EXPECT_EQ(write(block_too_long), -1);
  EXPECT_EQ(err_, "/dev/mtdblocknnnnnnn...: name too long\n");
  const std::string chr = "/dev/mtd" + block_too_long;
  EXPECT_EQ(fake_mtd::call_names(),
            (Names{"open " + chr, "ioctl " + chr, "close " + chr}));
}

}  // namespace

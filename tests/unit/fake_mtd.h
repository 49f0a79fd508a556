#pragma once
// A stand-in for the kernel's MTD nodes, linked into the unit tests only:
// open, ioctl, pread, mmap, msync, fsync, munmap and close are wrapped at link
// time. "/dev/mtd<name>" and "/dev/mtdblock<name>" of a registered
// partition are backed by one regular file; everything else passes through.

#include <cstdint>
#include <string>
#include <vector>

namespace fake_mtd {

struct Partition {
  std::vector<std::uint8_t> content;
  bool has_char = true;
  bool has_block = true;
  bool char_refuses = false;     // open of the character node fails (EACCES)
  bool block_refuses = false;    // open of the block node fails (EACCES)
  bool ioctl_fails = false;      // MEMGETINFO fails
  long long reported_size = -1;  // MEMGETINFO size; -1: the content's size
  std::uint32_t writesize = 1;   // MEMGETINFO: 1 as NOR, a page as NAND
};

// One wrapped call on a fake node, in the order made.
struct Call {
  std::string name;  // "open", "ioctl", "mmap", ...
  std::string path;  // the node the call concerns
  long long a = 0;   // open: flags; ioctl: request; mmap/msync/munmap: length
  long long b = 0;   // mmap: prot; msync: flags
  long long c = 0;   // mmap: flags
  long long d = 0;   // mmap: offset
  bool hinted = false;  // mmap: an address hint was given
};

struct Faults {
  bool mmap_fails = false;
  // Maps without write permission: a store into the mapping (which on real
  // flash costs an erase) crashes the test.
  bool mapping_read_only = false;
  bool msync_fails = false;
  bool fsync_fails = false;
  // A read through a descriptor of any byte of the 4 KiB page holding
  // this offset fails (EIO), as from a worn flash page; through the
  // character node of NAND (writesize > 1) it succeeds, as on Linux,
  // where that node hands out a page its ECC could not mend.
  long long unreadable_at = -1;
  // Through the block node such a read never returns, as on Linux 6.12:
  // here it counts a stall (and fails, so that the test goes on).
  bool block_stalls = false;
};

void reset();
void add(const std::string& name, const Partition& p);
std::vector<std::uint8_t> content(const std::string& name);
const std::vector<Call>& calls();
std::vector<std::string> call_names();
Faults& faults();
int open_descriptors();
// The most descriptors of fake nodes open at once since the last call
// (resets included).
int take_peak_descriptors();
int live_mappings();
int stalls();
// Calls on a node through descriptor 0, 1 or 2, where what is printed to a
// closed standard stream would land.
int std_descriptor_uses();

// A partition of `size` bytes filled with a position-dependent pattern, so
// that a byte written one place off shows, with `record` at 0xE000.
std::vector<std::uint8_t> patterned(std::size_t size,
                                    const std::vector<std::uint8_t>& record);

}  // namespace fake_mtd

// SPDX-License-Identifier: MIT
#include "flash/mtd_record.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace flashmac {
namespace {

using PathBuf = char[DEV_PATH_MAX];

// Every device is opened read-write and synchronous, the read included.
constexpr int OPEN_FLAGS = O_RDWR | O_SYNC;
constexpr int MAP_PROT = PROT_READ | PROT_WRITE;
constexpr int MAP_FLAGS = MAP_SHARED | MAP_LOCKED;

#if defined(__mips__) && !defined(__mips64)
// The values the device's kernel expects; a wrong header would show here.
static_assert(OPEN_FLAGS == 0x4012 && MAP_FLAGS == 0x8001 && MS_SYNC == 4);
static_assert(MEMGETINFO == 0x40204D01);
#endif

constexpr const char OPEN_ERROR[] = "open %s error\n";
constexpr const char TOO_SMALL[] = "%s too small for MAC record\n";
constexpr const char MAP_ERROR[] = "mmap %s error\n";
constexpr const char READ_ERROR[] = "read %s error\n";

// Forms the device path from fmt and the partition name in the cleared
// buffer and opens it; -1 when it does not open. A name too long for the
// buffer opens nothing: the cut path could name another, real device.
// Unless quiet, the failure is reported.
int open_device(PathBuf& path, const char* fmt, const char* part, bool quiet) {
  std::memset(path, 0, sizeof path);
  const int n = std::snprintf(path, sizeof path, fmt, part);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) {
    // Shown cut short, plainly not a path.
    if (!quiet) std::fprintf(stderr, "%.20s...: name too long\n", path);
    return -1;
  }
  const int fd = open(path, OPEN_FLAGS);
  if (fd < 0 && !quiet) std::fprintf(stderr, OPEN_ERROR, path);
  return fd;
}

// Reads the first `len` bytes of the device through the descriptor, as
// far as it goes, one byte of each page: the kernel reads every such page
// whole from the flash. Returns how many bytes there are, or UNREADABLE
// when the flash can't give a page back. Populating a locked mapping
// retries a page that fails to read forever, and a copy from such a page
// dies of SIGBUS: the mapping is made only over pages just read (and now
// cached).
constexpr std::size_t UNREADABLE = SIZE_MAX;
std::size_t readable(int fd, std::size_t len) {
  const off_t end = lseek(fd, 0, SEEK_END);
  if (end < 0) return UNREADABLE;
  if (static_cast<unsigned long long>(end) < len)
    len = static_cast<std::size_t>(end);
  for (std::size_t off = 0; off < len; off += 4096) {
    std::uint8_t byte;
    if (pread(fd, &byte, 1, static_cast<off_t>(off)) != 1) return UNREADABLE;
  }
  return len;
}

// Whether count bytes at MAC_OFFSET lie inside the first `len` bytes.
// A short partition must never be touched past its end: the pages of a
// mapping beyond the device fault with SIGBUS.
bool record_fits(std::size_t len, int count) {
  return count >= 0 && static_cast<std::size_t>(MAC_OFFSET + count) <= len;
}

// Opens the partition's block device and reads its first `len` bytes
// through the descriptor; -1 (reported) unless they read back and hold
// the record.
int open_block(PathBuf& path, const char* part, std::size_t len, int count) {
  const int fd = open_device(path, "/dev/mtdblock%s", part, false);
  if (fd < 0) return -1;
  const std::size_t have = readable(fd, len);
  if (have == UNREADABLE || !record_fits(have, count)) {
    std::fprintf(stderr, have == UNREADABLE ? READ_ERROR : TOO_SMALL, path);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

int mtd_read_mac(const char* part, std::uint8_t* dst, int count) {
  PathBuf path;
  // The mapping has a fixed length; the device may be shorter.
  const int fd = open_block(path, part, READ_MAP_LEN, count);
  if (fd < 0) return -1;
  void* map = mmap(nullptr, READ_MAP_LEN, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) {
    std::fprintf(stderr, MAP_ERROR, path);
    close(fd);
    return -1;
  }
  std::memcpy(dst, static_cast<const std::uint8_t*>(map) + MAC_OFFSET,
              static_cast<std::size_t>(count));
  munmap(map, READ_MAP_LEN);
  close(fd);
  return 0;
}

int mtd_write_mac(const char* part, const std::uint8_t* src, int count) {
  PathBuf path;
  int fd = open_device(path, "/dev/mtd%s", part, true);
  if (fd < 0) return -1;
  mtd_info_user info{};
  if (ioctl(fd, MEMGETINFO, &info) != 0) {
    std::fprintf(stderr, "Could not get MTD device info from %s\n", path);
    close(fd);
    return -1;
  }
  close(fd);
  if (!record_fits(info.size, count)) {
    std::fprintf(stderr, TOO_SMALL, path);
    return -1;
  }

  // Nothing is written unless every page of the partition reads back.
  fd = open_block(path, part, info.size, count);
  if (fd < 0) return -1;
  // The whole partition: the kernel rewrites the erase block around the
  // record from this mapping.
  const std::size_t len = info.size;
  void* map = mmap(nullptr, len, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) {
    std::fprintf(stderr, MAP_ERROR, path);
    close(fd);
    return -1;
  }
  // On NOR and NAND a dirty page makes the kernel erase and reprogram the
  // whole erase block around it: leave an unchanged record untouched, so
  // that rewriting the same address neither wears the block nor risks it.
  std::uint8_t* rec = static_cast<std::uint8_t*>(map) + MAC_OFFSET;
  const auto n = static_cast<std::size_t>(count);
  if (std::memcmp(rec, src, n) != 0) std::memcpy(rec, src, n);
  // Both must succeed before the bytes are on flash; without the check a
  // read-back from the page cache would show an address the flash lacks.
  const bool synced = msync(map, len, MS_SYNC) == 0;
  const bool flushed = fsync(fd) == 0;
  munmap(map, len);
  close(fd);
  if (!synced || !flushed) {
    std::fprintf(stderr, "sync %s error\n", path);
    return -1;
  }
  return 0;
}

}  // namespace flashmac

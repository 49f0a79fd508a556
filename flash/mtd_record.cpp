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

// One line on stderr from fmt and the device path; false, for returning.
[[gnu::noinline]] bool report(const char* fmt, const char* path) {
  std::fprintf(stderr, fmt, path);
  return false;
}

// Forms the device path from fmt and the partition name in the cleared
// buffer and opens it with `flags`; -1 when it does not open. A name too
// long for the buffer opens nothing: the cut path could name another, real
// device. Unless quiet, the failure is reported.
int open_device(PathBuf& path, const char* fmt, const char* part, int flags,
                bool quiet) {
  std::memset(path, 0, sizeof path);
  const int n = std::snprintf(path, sizeof path, fmt, part);
  // Shown cut short, plainly not a path.
  const char* error = "%.20s...: name too long\n";
  int fd = -1;
  if (n >= 0 && static_cast<std::size_t>(n) < sizeof path) {
    error = OPEN_ERROR;
    fd = open(path, flags);
    // Started with stdin, stdout or stderr closed, the device would take
    // its number, and a message or the address printed there would be
    // written into the flash. Held there, it makes the next open land
    // higher (no /dev/null needed, which an early root may lack); it is
    // let go before anything is reported.
    if (static_cast<unsigned>(fd) <= STDERR_FILENO) {
      const int low = fd;
      fd = open_device(path, fmt, part, flags, true);
      close(low);
    }
  }
  if (fd < 0 && !quiet) report(error, path);
  return fd;
}

// Whether every page of the first `len` bytes reads back, as far as the
// device goes, and count bytes at MAC_OFFSET lie inside them and the block
// device that fd opens; reported, naming `path`, when not. Returns the
// length to map: `len`, or with `len` 0 the partition's size as the MTD
// node `pages` gives it; 0 on any failure.
//
// The kernel reads a page of the block device whole from the flash, and
// one that fails is retried forever by a locked mapping's population, or
// kills a copy from it with SIGBUS: the mapping is made only over pages
// just read, one byte of each asked for. They are asked of the MTD node
// `pages`, which answers a failing page at once where a newer kernel's
// block device over another block device (block2mtd) retries it for
// minutes; but not of NAND's (a writesize above 1), which hands out a page
// its ECC could not mend as if read, and reads a NAND page or ECC step,
// not the 4 KiB page around it: there the block device reads the page
// whole and fails it at once. A short partition must never be touched
// past its end either: the pages of a mapping beyond the device fault
// with SIGBUS.
std::size_t check(const PathBuf& path, int pages, int fd, std::size_t len,
                  int count) {
  mtd_info_user info;
  info.writesize = 0;
  const bool known = ioctl(pages, MEMGETINFO, &info) == 0;
  if (len == 0) {
    if (!known) return report("Could not get MTD device info from %s\n", path);
    len = info.size;
  }
  // Brings in exactly these pages through the block device: left to
  // itself, its first read or fault reads ahead far past them, and every
  // byte fetched from a cold, slow flash chip counts at boot. On NAND
  // before the pages are read through it (they are then read once); on
  // other flash only after they read back through the node: a page that
  // the block device retries would hold up the close.
  const auto fetch = [&] {
    posix_fadvise(fd, 0, static_cast<off_t>(len), POSIX_FADV_WILLNEED);
  };
  if (info.writesize > 1) {
    pages = fd;
    fetch();
  }
  // Past the end of the device a read gives nothing, and fails nothing.
  std::uint8_t byte;
  for (std::size_t off = 0; off < len; off += 4096)
    if (pread(pages, &byte, 1, static_cast<off_t>(off)) < 0)
      return report(READ_ERROR, path);
  fetch();
  // The record's last byte there (on a page already read) means all of it.
  const long end = MAC_OFFSET + count;
  if (count < 0 || static_cast<std::size_t>(end) > len ||
      pread(fd, &byte, 1, end - 1) != 1)
    return report(TOO_SMALL, path);
  return len;
}

}  // namespace

int mtd_read_mac(const char* part, std::uint8_t* dst, int count) {
  PathBuf path;
  // The pages are checked through the character device where there is
  // one: it reports a page that can't be read at once, where a newer
  // kernel's block device retries it for minutes. Reading needs no more
  // than read access to it.
  const int chr = open_device(path, "/dev/mtd%s", part, O_RDONLY, true);
  const int fd = open_device(path, "/dev/mtdblock%s", part, OPEN_FLAGS, false);
  // The mapping has a fixed length; the device may be shorter.
  const bool ok =
      fd >= 0 && check(path, chr >= 0 ? chr : fd, fd, READ_MAP_LEN, count) != 0;
  // Either may be -1 (a node that did not open): close then only fails.
  close(chr);
  if (!ok) {
    close(fd);
    return -1;
  }
  void* map = mmap(nullptr, READ_MAP_LEN, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) {
    report(MAP_ERROR, path);
    close(fd);
    return -1;
  }
  // A few bytes: a loop costs less than importing memcpy.
  const std::uint8_t* rec = static_cast<const std::uint8_t*>(map) + MAC_OFFSET;
  for (int i = 0; i < count; ++i) dst[i] = rec[i];
  munmap(map, READ_MAP_LEN);
  close(fd);
  return 0;
}

int mtd_write_mac(const char* part, const std::uint8_t* src, int count) {
  // The character device's path names the partition in the check's
  // reports; the block device's in the mapping's.
  PathBuf chr_path, path;
  const int chr = open_device(chr_path, "/dev/mtd%s", part, OPEN_FLAGS, true);
  if (chr < 0) return -1;
  const int fd = open_device(path, "/dev/mtdblock%s", part, OPEN_FLAGS, false);
  // Nothing is written unless every page of the partition reads back.
  const std::size_t len = fd < 0 ? 0 : check(chr_path, chr, fd, 0, count);
  close(chr);
  if (len == 0) {
    close(fd);
    return -1;
  }

  // The whole partition: the kernel rewrites the erase block around the
  // record from this mapping.
  void* map = mmap(nullptr, len, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) {
    report(MAP_ERROR, path);
    close(fd);
    return -1;
  }
  // On NOR and NAND a dirty page makes the kernel erase and reprogram the
  // whole erase block around it: only bytes that differ are stored, so
  // that rewriting the same address neither wears the block nor risks it.
  std::uint8_t* rec = static_cast<std::uint8_t*>(map) + MAC_OFFSET;
  for (int i = 0; i < count; ++i)
    if (rec[i] != src[i]) rec[i] = src[i];
  // Both must succeed before the bytes are on flash; without the check a
  // read-back from the page cache would show an address the flash lacks.
  const bool synced = msync(map, len, MS_SYNC) == 0;
  const bool flushed = fsync(fd) == 0;
  munmap(map, len);
  close(fd);
  if (!synced || !flushed) {
    report("sync %s error\n", path);
    return -1;
  }
  return 0;
}

}  // namespace flashmac

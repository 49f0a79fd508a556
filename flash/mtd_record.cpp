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

// Reports one line on stderr from fmt and the device path, lets go of the
// device fd and gives the operation's -1.
[[gnu::noinline]] int fail(int fd, const char* fmt, const char* path) {
  std::fprintf(stderr, fmt, path);
  close(fd);
  return -1;
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
  if (fd < 0 && !quiet) std::fprintf(stderr, error, path);
  return fd;
}

// Whether the MTD node tells the truth about a page it reads. NAND's (a
// writesize above 1) does not: it hands out a page that its ECC could not
// mend as if read, and reads a NAND page, not the 4 KiB page around it
// that the block device brings in whole.
bool node_tells(const mtd_info_user& info) { return info.writesize <= 1; }

// Whether each 4 KiB page of the first len bytes of fd reads back, one
// byte of each asked for; past the end of the device a read gives
// nothing, and fails nothing.
//
// The block device reads a page whole from the flash, and one that fails
// is retried forever by a locked mapping's population, or kills a copy
// from it with SIGBUS: a mapping is made only over pages that read back.
// They are read through the MTD node where it tells, which fails a page
// at once where a newer kernel's block device over another block device
// (block2mtd) retries it for minutes; on NAND through the block device,
// which fails it at once.
bool pages_read(int fd, std::size_t len) {
  std::uint8_t byte;
  for (std::size_t off = 0; off < len; off += 4096)
    if (pread(fd, &byte, 1, static_cast<off_t>(off)) < 0) return false;
  return true;
}

// Asks the block device fd for exactly these pages, at once: left to
// itself, its first read or fault reads ahead far past them, and every
// byte fetched from a cold, slow flash chip counts at boot.
void fetch(int fd, std::size_t len) {
  posix_fadvise(fd, 0, static_cast<off_t>(len), POSIX_FADV_WILLNEED);
}

// Whether count bytes at MAC_OFFSET lie inside the first len bytes.
bool fits(std::size_t len, int count) {
  return count >= 0 && MAC_OFFSET + count <= static_cast<long>(len);
}

}  // namespace

int mtd_read_mac(const char* part, std::uint8_t* dst, int count) {
  PathBuf path;
  // Before the block device: the pages that the mapping will bring in are
  // read through the MTD node, where there is one that tells. Reading
  // needs no more than read access to it. A read's reports name the block
  // device, so what this finds is reported once that path is formed.
  int fd = open_device(path, "/dev/mtd%s", part, O_RDONLY, true);
  mtd_info_user info;
  const bool unchecked = ioctl(fd, MEMGETINFO, &info) != 0 || !node_tells(info);
  bool readable = unchecked || pages_read(fd, READ_MAP_LEN);
  close(fd);  // -1 when there is no node: it then only fails

  // The block device.
  fd = open_device(path, "/dev/mtdblock%s", part, OPEN_FLAGS, false);
  if (fd < 0) return -1;
  fetch(fd, READ_MAP_LEN);
  // Where the node did not tell, here, each page read from the flash once.
  if (unchecked) readable = pages_read(fd, READ_MAP_LEN);
  if (!readable) return fail(fd, READ_ERROR, path);
  // The device may end inside the mapping, whose pages beyond it fault
  // with SIGBUS: the record's last byte read back (from a page already
  // read) means all of it is there.
  std::uint8_t last;
  if (!fits(READ_MAP_LEN, count) ||
      pread(fd, &last, 1, MAC_OFFSET + count - 1) != 1)
    return fail(fd, TOO_SMALL, path);

  // Map, copy the record, unmap, close.
  void* map = mmap(nullptr, READ_MAP_LEN, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) return fail(fd, MAP_ERROR, path);
  // A few bytes: a loop costs less than importing memcpy.
  const std::uint8_t* rec = static_cast<const std::uint8_t*>(map) + MAC_OFFSET;
  for (int i = 0; i < count; ++i) dst[i] = rec[i];
  munmap(map, READ_MAP_LEN);
  close(fd);
  return 0;
}

int mtd_write_mac(const char* part, const std::uint8_t* src, int count) {
  // The character device's path names the partition in the reports of
  // the checks on its pages; the block device's in those of the mapping.
  PathBuf chr_path, path;
  // The character device: its absence fails silently.
  const int chr = open_device(chr_path, "/dev/mtd%s", part, OPEN_FLAGS, true);
  if (chr < 0) return -1;
  // The partition's size.
  mtd_info_user info;
  if (ioctl(chr, MEMGETINFO, &info) != 0)
    return fail(chr, "Could not get MTD device info from %s\n", chr_path);
  const std::size_t len = info.size;
  const bool nand = !node_tells(info);
  // Nothing is written unless the record lies inside the partition and
  // every page of it reads back: the write maps and locks it whole.
  if (!fits(len, count)) return fail(chr, TOO_SMALL, chr_path);
  if (!nand && !pages_read(chr, len)) return fail(chr, READ_ERROR, chr_path);
  close(chr);

  // The block device.
  const int fd = open_device(path, "/dev/mtdblock%s", part, OPEN_FLAGS, false);
  if (fd < 0) return -1;
  // NAND's pages are read here, each from the flash once.
  if (nand && !pages_read(fd, len)) return fail(fd, READ_ERROR, chr_path);

  // The whole partition is mapped: the kernel rewrites the erase block
  // around the record from this mapping.
  void* map = mmap(nullptr, len, MAP_PROT, MAP_FLAGS, fd, 0);
  if (map == MAP_FAILED) return fail(fd, MAP_ERROR, path);
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
  if (!synced || !flushed) return fail(fd, "sync %s error\n", path);
  close(fd);
  return 0;
}

}  // namespace flashmac

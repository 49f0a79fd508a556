// SPDX-License-Identifier: MIT
/* The benchmark's floor: flashmac's read and write as the operations are
 * defined, written plainly, with none of flashmac's checks (no page check,
 * no bounds, no descriptor care, no sync errors, no unchanged-byte skip).
 * What it costs is the least those operations cost; the distance to
 * flashmac is what flashmac's safety costs. Not for use on a device. */
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#define MAC_OFFSET 0xE000
#define READ_MAP_LEN 0x10000

static char path[4096];

static void mtd_read(const char *part, unsigned char *mac) {
  memset(path, 0, sizeof path);
  sprintf(path, "/dev/mtdblock%s", part);
  int fd = open(path, O_RDWR | O_SYNC);
  if (fd < 0) {
    fprintf(stderr, "open %s error\n", path);
    return;
  }
  void *m = mmap(0, READ_MAP_LEN, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd, 0);
  if (m != MAP_FAILED) memcpy(mac, (char *)m + MAC_OFFSET, 6);
  close(fd);
}

static void mtd_write(const char *part, const unsigned char *mac) {
  struct mtd_info_user info;
  memset(path, 0, sizeof path);
  sprintf(path, "/dev/mtd%s", part);
  int fd = open(path, O_RDWR | O_SYNC);
  if (fd < 0) return;
  if (ioctl(fd, MEMGETINFO, &info) != 0) {
    fprintf(stderr, "Could not get MTD device info from %s\n", path);
    close(fd);
    return;
  }
  close(fd);
  memset(path, 0, sizeof path);
  sprintf(path, "/dev/mtdblock%s", part);
  fd = open(path, O_RDWR | O_SYNC);
  if (fd < 0) {
    fprintf(stderr, "open %s error\n", path);
    return;
  }
  void *m = mmap(0, info.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd, 0);
  if (m != MAP_FAILED) {
    memcpy((char *)m + MAC_OFFSET, mac, 6);
    msync(m, info.size, MS_SYNC);
    fsync(fd);
    munmap(m, info.size);
  }
  close(fd);
}

int main(int argc, char **argv) {
  unsigned char mac[6] = {0};
  if (argc == 3) {
    // Twelve hex digits, separators skipped; nothing rejected.
    const char *t = argv[2];
    for (int i = 0; i < 12 && *t; t++) {
      int d = *t <= '9' ? *t - '0' : (*t | 0x20) - 'a' + 10;
      if (*t == ':' || *t == '-') continue;
      mac[i / 2] = (unsigned char)(mac[i / 2] << 4 | d);
      i++;
    }
    mtd_write(argv[1], mac);
    memset(mac, 0, sizeof mac);
  } else if (argc != 2) {
    return 0;
  }
  mtd_read(argv[1], mac);
  printf("%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return 0;
}

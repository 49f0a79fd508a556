#include "fake_mtd.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <utility>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_ioctl(int fd, unsigned long req, ...);
ssize_t __real_pread(int fd, void* buf, size_t n, off_t off);
void* __real_mmap(void* addr, size_t len, int prot, int flags, int fd,
                  off_t off);
int __real_msync(void* addr, size_t len, int flags);
int __real_fsync(int fd);
int __real_munmap(void* addr, size_t len);
int __real_close(int fd);
}

namespace fake_mtd {
namespace {

namespace fs = std::filesystem;

struct Node {
  std::string path;
  std::string partition;
  bool is_char;
};

struct State {
  fs::path dir;
  std::map<std::string, Partition> parts;
  std::map<int, Node> fds;
  std::map<void*, std::size_t> maps;
  std::vector<Call> calls;
  Faults faults;
  int stalls = 0;
  int std_uses = 0;
  // The last test's backing files go with the process.
  ~State() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

State& st() {
  static State s;
  return s;
}

std::size_t peak = 0;

fs::path file_of(const std::string& name) {
  // Names may hold '/' or be empty; the backing file name must not.
  return st().dir / ("part-" + std::to_string(std::hash<std::string>{}(name)));
}

// The node that a descriptor handed to a call on a device stands for.
const Node* node_of(int fd) {
  auto it = st().fds.find(fd);
  if (it == st().fds.end()) return nullptr;
  if (fd <= STDERR_FILENO) ++st().std_uses;
  return &it->second;
}

void log(Call c) { st().calls.push_back(std::move(c)); }

// Resolves a path to a registered node; false when it is not one of ours.
bool lookup(const std::string& path, Node& out, const Partition*& part) {
  for (const auto& [name, p] : st().parts) {
    if (path == "/dev/mtd" + name && p.has_char) {
      out = {path, name, true};
      part = &p;
      return true;
    }
    if (path == "/dev/mtdblock" + name && p.has_block) {
      out = {path, name, false};
      part = &p;
      return true;
    }
  }
  return false;
}

}  // namespace

void reset() {
  for (auto& [fd, n] : st().fds) __real_close(fd);
  for (auto& [addr, len] : st().maps) __real_munmap(addr, len);
  if (!st().dir.empty()) fs::remove_all(st().dir);
  st() = State{};
  char tmpl[] = "/tmp/fake_mtd.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  st().dir = tmpl;
}

void add(const std::string& name, const Partition& p) {
  st().parts[name] = p;
  std::ofstream(file_of(name), std::ios::binary)
      .write(reinterpret_cast<const char*>(p.content.data()),
             static_cast<std::streamsize>(p.content.size()));
}

std::vector<std::uint8_t> content(const std::string& name) {
  const fs::path path = file_of(name);
  std::vector<std::uint8_t> data(fs::file_size(path));
  std::ifstream(path, std::ios::binary)
      .read(reinterpret_cast<char*>(data.data()),
            static_cast<std::streamsize>(data.size()));
  return data;
}

const std::vector<Call>& calls() { return st().calls; }

std::vector<std::string> call_names() {
  std::vector<std::string> out;
  for (const auto& c : st().calls) out.push_back(c.name + " " + c.path);
  return out;
}

Faults& faults() { return st().faults; }
int open_descriptors() { return static_cast<int>(st().fds.size()); }
int take_peak_descriptors() { return static_cast<int>(std::exchange(peak, 0)); }
int live_mappings() { return static_cast<int>(st().maps.size()); }
int stalls() { return st().stalls; }
int std_descriptor_uses() { return st().std_uses; }

std::vector<std::uint8_t> patterned(std::size_t size,
                                    const std::vector<std::uint8_t>& record) {
  std::vector<std::uint8_t> v(size);
  for (std::size_t i = 0; i < size; ++i)
    v[i] = static_cast<std::uint8_t>((i * 131 + i / 251 + 7) & 0xFF);
  for (std::size_t i = 0; i < record.size() && 0xE000 + i < size; ++i)
    v[0xE000 + i] = record[i];
  return v;
}

}  // namespace fake_mtd

using fake_mtd::Call;
using fake_mtd::st;

extern "C" int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
  }
  if (std::string(path).rfind("/dev/mtd", 0) != 0)
    return __real_open(path, flags, mode);
  fake_mtd::log({"open", path, flags});
  fake_mtd::Node node;
  const fake_mtd::Partition* part = nullptr;
  if (!fake_mtd::lookup(path, node, part)) {
    errno = ENOENT;
    return -1;
  }
  if ((node.is_char && part->char_refuses) ||
      (!node.is_char && part->block_refuses)) {
    errno = EACCES;
    return -1;
  }
  // O_SYNC is asked of the device; the backing file does without it.
  const int fd = __real_open(fake_mtd::file_of(node.partition).c_str(), O_RDWR);
  if (fd >= 0) {
    st().fds[fd] = node;
    fake_mtd::peak = std::max(fake_mtd::peak, st().fds.size());
  }
  return fd;
}

extern "C" int __wrap_ioctl(int fd, unsigned long req, ...) {
  va_list ap;
  va_start(ap, req);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const fake_mtd::Node* n = fake_mtd::node_of(fd);
  if (n == nullptr) return __real_ioctl(fd, req, arg);
  fake_mtd::log({"ioctl", n->path, static_cast<long long>(req)});
  const fake_mtd::Partition& p = st().parts.at(n->partition);
  if (!n->is_char || req != MEMGETINFO || p.ioctl_fails) {
    errno = ENOTTY;
    return -1;
  }
  auto* info = static_cast<mtd_info_user*>(arg);
  *info = {};
  info->type = MTD_NORFLASH;
  info->flags = MTD_CAP_NORFLASH;
  info->size = static_cast<std::uint32_t>(
      p.reported_size >= 0 ? p.reported_size
                           : static_cast<long long>(p.content.size()));
  info->erasesize = 0x10000;
  info->writesize = p.writesize;
  return 0;
}

extern "C" ssize_t __wrap_pread(int fd, void* buf, size_t n, off_t off) {
  // Flash fails a whole page, as the kernel reads it.
  const long long bad = st().faults.unreadable_at;
  const long long last = off + static_cast<long long>(n) - 1;
  const fake_mtd::Node* node = fake_mtd::node_of(fd);
  // NAND's character node hands out a page that ECC could not mend as if
  // it were read.
  if (node != nullptr && node->is_char &&
      st().parts.at(node->partition).writesize > 1)
    return __real_pread(fd, buf, n, off);
  if (node != nullptr && bad >= 0 && n > 0 && bad / 4096 >= off / 4096 &&
      bad / 4096 <= last / 4096) {
    if (!node->is_char && st().faults.block_stalls) ++st().stalls;
    errno = EIO;
    return -1;
  }
  return __real_pread(fd, buf, n, off);
}

extern "C" void* __wrap_mmap(void* addr, size_t len, int prot, int flags,
                             int fd, off_t off) {
  const fake_mtd::Node* n = fake_mtd::node_of(fd);
  if (n == nullptr) return __real_mmap(addr, len, prot, flags, fd, off);
  fake_mtd::log({"mmap", n->path, static_cast<long long>(len), prot, flags, off,
                 addr != nullptr});
  if (st().faults.mmap_fails) {
    errno = ENOMEM;
    return MAP_FAILED;
  }
  // Locking needs no test of its own and may exceed RLIMIT_MEMLOCK here.
  if (st().faults.mapping_read_only) prot &= ~PROT_WRITE;
  void* m = __real_mmap(addr, len, prot, flags & ~MAP_LOCKED, fd, off);
  if (m != MAP_FAILED) st().maps[m] = len;
  return m;
}

extern "C" int __wrap_msync(void* addr, size_t len, int flags) {
  auto it = st().maps.find(addr);
  if (it == st().maps.end()) return __real_msync(addr, len, flags);
  fake_mtd::log({"msync", "", static_cast<long long>(len), flags});
  if (st().faults.msync_fails) {
    errno = EIO;
    return -1;
  }
  // The backing file shares the page cache with every mapping and read of
  // it; writing it back to the disk would only make the suites wait on I/O.
  return 0;
}

extern "C" int __wrap_fsync(int fd) {
  const fake_mtd::Node* n = fake_mtd::node_of(fd);
  if (n == nullptr) return __real_fsync(fd);
  fake_mtd::log({"fsync", n->path});
  if (st().faults.fsync_fails) {
    errno = EIO;
    return -1;
  }
  return 0;  // as msync: nothing to wait for
}

extern "C" int __wrap_munmap(void* addr, size_t len) {
  auto it = st().maps.find(addr);
  if (it == st().maps.end()) return __real_munmap(addr, len);
  fake_mtd::log({"munmap", "", static_cast<long long>(len)});
  // Only a whole mapping counts as released.
  if (it->second == len) st().maps.erase(it);
  return __real_munmap(addr, len);
}

extern "C" int __wrap_close(int fd) {
  auto it = st().fds.find(fd);
  if (it == st().fds.end()) return __real_close(fd);
  fake_mtd::log({"close", it->second.path});
  st().fds.erase(it);
  return __real_close(fd);
}

// The whole command line against the MTD stand-in. Whatever the arguments:
// the flash changes only by a fully parsed address written to the record of
// a partition that can hold it, nothing stays open or mapped, and stdout is
// empty or exactly one address.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "app/cli.h"
#include "fake_mtd.h"
#include "mac/parse.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
const Bytes kRecord = {0x02, 0x1A, 0xB3, 0x4C, 0xD5, 0xF0};
const char* const kShown = "02:1A:B3:4C:D5:F0";

int out_fd = -1;

// Everything written to stdout since the last call.
std::string take_stdout() {
  std::fflush(stdout);
  std::string s(static_cast<std::size_t>(lseek(out_fd, 0, SEEK_END)), '\0');
  if (pread(out_fd, s.data(), s.size(), 0) < 0) std::abort();
  if (ftruncate(out_fd, 0) != 0) std::abort();
  lseek(out_fd, 0, SEEK_SET);
  return s;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  out_fd = memfd_create("stdout", 0);
  std::fflush(stdout);
  dup2(out_fd, STDOUT_FILENO);
  std::freopen("/dev/null", "w", stderr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const int nargs = data[0] % 5;
  const int which = data[1] % 4;
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.c_str();  // an argument ends at its NUL

  // Built once: the inputs are many and the partitions never change.
  static const auto [good, shrt, nochr] = [] {
    fake_mtd::Partition g, s, n;
    g.content = fake_mtd::patterned(0xF000, kRecord);
    s.content = fake_mtd::patterned(0xE005, kRecord);
    n.content = g.content;
    n.has_char = false;
    return std::tuple{g, s, n};
  }();
  fake_mtd::reset();
  fake_mtd::add("0", good);
  fake_mtd::add("1", shrt);
  fake_mtd::add("2", nochr);

  std::string name = which < 3 ? std::to_string(which) : text.substr(0, 8);
  std::vector<std::string> args = {"flashmac", name, text, text, text};
  args.resize(static_cast<std::size_t>(nargs) + 1);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  const int status = flashmac::run(static_cast<int>(args.size()), argv.data());
  const std::string out = take_stdout();

  check(fake_mtd::open_descriptors() == 0 && fake_mtd::live_mappings() == 0);
  Bytes parsed(6, 0);
  const bool writes =
      nargs == 2 && flashmac::parse_mac(parsed.data(), text.c_str()) == 0;
  if (nargs == 2 && !writes) {
    check(status == 1 && out.empty() && fake_mtd::calls().empty());
  } else {
    check(status == 0);
  }
  if (nargs != 1 && nargs != 2) check(out.empty() && fake_mtd::calls().empty());

  // Only partition "0" can be written; the others keep every byte.
  Bytes want0 = good.content;
  if (writes && name == "0")
    std::copy(parsed.begin(), parsed.end(), want0.begin() + 0xE000);
  check(fake_mtd::content("0") == want0);
  check(fake_mtd::content("1") == shrt.content);
  check(fake_mtd::content("2") == nochr.content);

  if (nargs == 1 || writes) {
    static const std::regex shown("([0-9A-F]{2}:){5}[0-9A-F]{2}");
    check(std::regex_match(out, shown));
    if (name == "2") check(out == kShown);
    if (name == "1") check(out == "00:00:00:00:00:00");
  }
  return 0;
}

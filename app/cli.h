// SPDX-License-Identifier: MIT
#pragma once

namespace flashmac {

// The whole command: argv[1] is the partition name, argv[2] (optional) the
// address to write. Prints the address read from flash on stdout, without a
// line ending. Returns the exit status: 1 for an address text that does not
// parse, 0 otherwise (flash failures are reported on stderr only).
int run(int argc, char** argv);

}  // namespace flashmac

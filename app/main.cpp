// SPDX-License-Identifier: MIT
#include "app/cli.h"

int main(int argc, char** argv) { return flashmac::run(argc, argv); }

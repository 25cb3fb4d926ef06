#pragma once

#include "ResultTable.h"

namespace kestrix::bench {

// Figures over the simulator's modelled network (0.5 ms and 2 ms each way,
// and 2 ms at 100 Mbit/s): the library's round trip against a raw client
// over the same link, and the command-line tool's flash reads and writes
// against what the link allows.
void LinkFigures(int rounds, bool quick, ResultTable& table);

}  // namespace kestrix::bench

#pragma once

namespace qpx {

// Sets up the process before the run, so that no fault of the outside
// world ends it part way: a write to a standard output whose reader is gone,
// or past the file size the system allows, must fail like any other write
// and be reported by the code that made it.
void PrepareProcess();

}  // namespace qpx

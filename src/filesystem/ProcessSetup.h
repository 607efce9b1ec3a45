#pragma once

namespace qpx {

// Sets up the process before the run, so that no fault of the outside
// world ends it part way: a write to a standard output whose reader is gone,
// or past the file size the system allows, must fail like any other write
// and be reported by the code that made it.
void PrepareProcess();

// While one lives, what would end the process from outside (Ctrl+C, a
// hang-up, a request to terminate; on Windows a closed console window,
// log-off and shut-down) ends it no more: the request is noted, and the
// run asks Requested() at its safe points and stops there. A request the
// process was started to ignore (nohup) stays ignored. One at a time.
class CStopRequests {
 public:
  CStopRequests();
  ~CStopRequests();
  CStopRequests(const CStopRequests&) = delete;
  CStopRequests& operator=(const CStopRequests&) = delete;

  static bool Requested();
  // Notes a request as the system would: for tests.
  static void Request();
};

}  // namespace qpx

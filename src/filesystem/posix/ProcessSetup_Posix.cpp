#include <signal.h>

#include <csignal>
#include <iterator>

#include "src/filesystem/ProcessSetup.h"

namespace qpx {
namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kStopSignals)];
bool g_replaced[std::size(kStopSignals)] = {};

void NoteStop(int) { g_stopRequested = 1; }

}  // namespace

CStopRequests::CStopRequests() {
  g_stopRequested = 0;
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    g_replaced[i] = false;
    if (sigaction(kStopSignals[i], nullptr, &g_previous[i]) != 0 || g_previous[i].sa_handler == SIG_IGN) continue;
    struct sigaction noting {};
    noting.sa_handler = NoteStop;
    sigemptyset(&noting.sa_mask);
    // Interrupted calls start again: the run's reads and writes finish.
    noting.sa_flags = SA_RESTART;
    g_replaced[i] = sigaction(kStopSignals[i], &noting, nullptr) == 0;
  }
}

CStopRequests::~CStopRequests() {
  for (std::size_t i = 0; i < std::size(kStopSignals); ++i) {
    if (g_replaced[i]) sigaction(kStopSignals[i], &g_previous[i], nullptr);
  }
}

bool CStopRequests::Requested() { return g_stopRequested != 0; }
void CStopRequests::Request() { g_stopRequested = 1; }

void PrepareProcess() {
  // By default the kernel kills the writer: SIGPIPE for a pipe with no
  // reader, SIGXFSZ for a write past RLIMIT_FSIZE. Ignored, the write fails
  // with EPIPE or EFBIG instead: a message that cannot be shown is dropped
  // (as on Windows) and a body that cannot be written fails its patch like
  // a full disk.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

}  // namespace qpx

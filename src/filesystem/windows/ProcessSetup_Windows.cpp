#include <windows.h>

#include "src/filesystem/ProcessSetup.h"

namespace qpx {
namespace {

volatile LONG g_stopRequested = 0;
volatile LONG g_running = 0;

BOOL WINAPI NoteStop(DWORD event) {
  InterlockedExchange(&g_stopRequested, 1);
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) return TRUE;
  // The window is closing, or the user logs off, or the system shuts
  // down: the process ends when this returns, and Windows waits about
  // five seconds at most. Hold it while the run reaches a safe point.
  for (int waited = 0; waited < 45 && g_running != 0; ++waited) Sleep(100);
  return FALSE;
}

}  // namespace

// Windows ends no process for a failed write: a closed output or a full
// disk already fail the write itself.
void PrepareProcess() {}

CStopRequests::CStopRequests() {
  InterlockedExchange(&g_stopRequested, 0);
  InterlockedExchange(&g_running, 1);
  SetConsoleCtrlHandler(NoteStop, TRUE);
}

CStopRequests::~CStopRequests() {
  InterlockedExchange(&g_running, 0);
  SetConsoleCtrlHandler(NoteStop, FALSE);
}

bool CStopRequests::Requested() { return g_stopRequested != 0; }
void CStopRequests::Request() { InterlockedExchange(&g_stopRequested, 1); }

}  // namespace qpx

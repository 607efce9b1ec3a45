#pragma once
// The outcome of a step that can fail, carrying its reason: the platform's
// code for the call that failed (errno, GetLastError), or 0 where the step
// failed on a check of its own. The run's steps return it, so that a
// message can say why without asking the platform afterwards, when other
// calls may have changed what it would say.

#include <cstdint>

#include "src/filesystem/SystemError.h"

namespace qpx {

class [[nodiscard]] Status {
 public:
  static Status Ok() { return Status(true, 0); }
  static Status Failed(uint32_t systemError = 0) { return Status(false, systemError); }

  explicit operator bool() const { return ok_; }
  // The platform's reason for the failure; 0 for none, or on success.
  uint32_t SystemError() const { return systemError_; }

 private:
  Status(bool ok, uint32_t systemError) : ok_(ok), systemError_(systemError) {}
  bool ok_;
  uint32_t systemError_;
};

// Watches one step for its reason. Made before the step's first call to
// the file layer, it clears the platform's last code, which a call that
// succeeds leaves as it found it; `Outcome` then tells how the step ended:
// the reason is that of the call that failed, the step stopping there (0
// where a check of the step's own failed).
class StatusOfStep {
 public:
  StatusOfStep() { SetLastSystemError(0); }
  Status Outcome(bool succeeded) const {
    return succeeded ? Status::Ok() : Status::Failed(LastSystemError());
  }
};

}  // namespace qpx

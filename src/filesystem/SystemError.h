#pragma once
// Why the platform refused the last call: the code it gave (errno,
// GetLastError) and its words for it, so that a message can say why a file
// would not open or a write failed. The file layer leaves the code of the
// call that failed as it found it; a layer that fails on its own (a test's
// fault layer, a check of its own) sets one.

#include <cstdint>
#include <string>

namespace qpx {

// The code of this thread's last failed platform call; 0 for none.
uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

// The platform's words for `code`, on one line, without a final period
// ("No such file or directory", "Access is denied"); empty for 0. They may
// hold bytes outside ASCII (a localised system): print them escaped.
std::string SystemErrorText(uint32_t code);

// Whether `code` says that a file or folder is not there.
bool SystemErrorMeansNotFound(uint32_t code);

// What a refusal tells the player to do, read from its code.
enum class ErrorMeaning {
  Other,
  NotFound,      // not there
  InUse,         // another program holds the file (the game, a scanner)
  AccessDenied,  // this user may not write there
  DiskFull,      // no room left
};
ErrorMeaning MeaningOf(uint32_t code);

// Who may write where this user may not: on Windows an administrator (a
// game under Program Files), elsewhere the file's owner.
enum class AccessRemedy { Administrator, Owner };
AccessRemedy AccessRemedyHere();

// Codes for what a layer finds wrong on its own.
uint32_t SystemErrorNotFound();      // no such file or folder
uint32_t SystemErrorAccessDenied();  // not allowed to write
uint32_t SystemErrorIo();            // the disk failed
uint32_t SystemErrorDiskFull();      // no room left on the disk
uint32_t SystemErrorInUse();         // another program holds the file

}  // namespace qpx

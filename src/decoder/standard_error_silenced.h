// Standard error pointed at /dev/null for a scope. The TIFF decoder prints
// warnings about tags it doesn't know straight to standard error, past the
// library's message callback: dozens for a file with EXIF data. Nothing that
// decodes views is to pass them on.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace interlace {

// True in a process whose standard error is /dev/null for good (the
// decoder's): there is nothing to quiet, and it may open no file.
inline bool g_standard_error_is_null = false;

class StandardErrorSilenced {
 public:
  StandardErrorSilenced() : saved_(g_standard_error_is_null ? -1 : dup(STDERR_FILENO)) {
    if (saved_ < 0) return;
    std::fflush(stderr);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) close(null);
  }
  ~StandardErrorSilenced() {
    if (saved_ < 0) return;
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  StandardErrorSilenced(const StandardErrorSilenced&) = delete;
  StandardErrorSilenced& operator=(const StandardErrorSilenced&) = delete;

 private:
  int saved_;
};

}  // namespace interlace

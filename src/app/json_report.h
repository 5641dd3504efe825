// The run report as one JSON document (--report=FILE): written once, at the
// end of the run, whether it succeeded, failed or was interrupted, durably
// in place of FILE (or on standard output for "-"). Its format, "format": 1,
// is documented in the README; fields are only ever added to it.
#pragma once

#include <string>

#include "app/modes.h"
#include "app/run_report.h"

class JsonReport : public ReportRenderer {
 public:
  // `path`: the file, or "-" for `fd` (standard output kept for it).
  JsonReport(std::string path, int fd, const RunContext& run);

  void Ended(const RunReport& report) override;
  // Whether the document was written (false until the end, and when it
  // could not be, which was said on standard error).
  bool written() const { return written_; }

  // The document of `report` (exposed for tests).
  std::string Document(const RunReport& report) const;

 private:
  std::string path_;
  int fd_;
  const RunContext& run_;
  bool written_ = false;
};

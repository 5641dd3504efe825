// The run report as the console says it. The modes that read (--check,
// --verify, --write-dbc) print a line per table on standard output; an
// export's console is its writers' own. At the end a summary goes to
// standard error, so that a user learns without scrolling back whether the
// run worked and, if not, why: the first line states the outcome; the next,
// the rows and bytes and the time; then the causes (a missing client
// folder, a database that cannot be used, an output that failed, what was
// kept of an old script), then the tables not exported in full: one line
// for many tables that failed alike (one kind of fault, or one server
// error), otherwise one per table, with how far it got. Every line fits 80
// columns.
#pragma once

#include "app/run_report.h"

class TextReport : public ReportRenderer {
 public:
  void TableEnded(const RunReport& report, const TableEntry& entry) override;
  void Ended(const RunReport& report) override;
};

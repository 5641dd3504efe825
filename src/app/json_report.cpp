#include "app/json_report.h"

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>

#include "app/client_layout.h"
#include "catalogue/catalogue.h"
#include "port/console.h"
#include "port/durable_file.h"
#include "port/interrupt.h"
#include "port/program.h"

namespace {

using Json = nlohmann::ordered_json;

// The options in effect, by their long names; never a password.
Json OptionsOf(const Options& options) {
  Json out = Json::object();
  for (const OptionRow& row : OptionTable()) {
    if (row.kind == OptionKind::kPassword) continue;
    if (row.text && options.*row.text) out[row.name] = *(options.*row.text);
    if (row.flag && options.*row.flag) out[row.name] = true;
  }
  return out;
}

Json CauseOf(const Fault& fault) {
  if (fault.reason.empty()) return nullptr;
  Json cause = {{"kind", FaultKindName(fault.kind)}, {"reason", fault.reason}};
  if (fault.code) cause["code"] = fault.code;
  if (!fault.file.empty()) cause["file"] = fault.file;
  return cause;
}

Json TableOf(const TableEntry& entry, bool lines) {
  Json table = {{"table", entry.table->table_name},
                {"file", FilesOf(*entry.table)},
                {"source", ClientLayout::SourcesOf(*entry.table)},
                {"status", TableStatusName(entry.status)},
                {"rows", entry.rows},
                {"records", entry.records},
                {"bytes", entry.bytes},
                {"cause", CauseOf(entry.fault)}};
  if (lines && !entry.line.empty()) table["line"] = entry.line;
  if (!entry.note.empty()) table["note"] = entry.note;
  if (entry.slot >= 0) table["slot"] = entry.slot;
  if (!entry.values.empty()) {
    table["values"] = Json::array();
    for (const DifferingValue& value : entry.values)
      table["values"].push_back({{"key", value.key},
                                 {"column", value.column},
                                 {"database", value.database},
                                 {"client", value.client}});
  }
  return table;
}

// Counts of tables by status, and the rows and bytes.
Json TotalsOf(const RunReport& report, const std::vector<TableEntry>& tables) {
  Json totals = {{"tables", tables.size()}};
  for (const TableEntry& entry : tables) {
    const char* status = TableStatusName(entry.status);
    totals[status] = totals.value(status, 0) + 1;
  }
  totals["rows"] = report.rows();
  totals["bytes"] = report.bytes();
  return totals;
}

}  // namespace

JsonReport::JsonReport(std::string path, int fd, const RunContext& run)
    : path_(std::move(path)), fd_(fd), run_(run) {}

std::string JsonReport::Document(const RunReport& report) const {
  const std::vector<TableEntry> tables = report.AllTables();
  Json doc = {{"format", 1},
              {"tool", kProgramName},
              {"version", VESK_VERSION},
              {"mode", report.mode()},
              {"run_id", run_.run_id}};
  if (*report.output()) doc["output"] = report.output();
  doc["options"] = OptionsOf(run_.options);
  doc["tables"] = Json::array();
  for (const TableEntry& entry : tables)
    doc["tables"].push_back(TableOf(entry, report.words().table_lines));
  doc["causes"] = report.causes();
  for (const std::string& fault : report.output_faults()) doc["causes"].push_back(fault);
  doc["notes"] = report.notes();
  const std::string& ended = report.early_end().empty() ? report.ended() : report.early_end();
  doc["ended"] = ended.empty() ? Json(nullptr) : Json(ended);
  doc["interrupted_by"] =
      report.signal_number() ? Json(SignalName(report.signal_number())) : Json(nullptr);
  doc["totals"] = TotalsOf(report, tables);
  doc["seconds"] = report.seconds();
  doc["exit_status"] = report.status();
  // Texts that are not UTF-8 (a client's bytes in a reason) are replaced,
  // not refused: the report is still written.
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

void JsonReport::Ended(const RunReport& report) {
  const std::string document = Document(report);
  std::string why;
  if (path_ == "-") {
    const int error = fd_ < 0 ? EBADF : WriteAll(fd_, document.data(), document.size());
    written_ = error == 0;
    if (!written_) why = std::strerror(error);
  } else {
    bool in_place = false;
    written_ = WriteOutputFile(
        path_,
        [&](int fd, std::string* reason) {
          const int error = WriteAt(fd, document.data(), document.size(), 0);
          if (error) *reason = std::strerror(error);
          return error == 0;
        },
        &why, &in_place);
  }
  if (!written_) Warn("--report=" + path_ + ": the report is not written: " + why);
}

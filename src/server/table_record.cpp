#include "server/table_record.h"

#include <mysql.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "dbc/dbc_format.h"
#include "dbc/loaded_table.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "port/program.h"
#include "server/server_session.h"
#include "sql/engine.h"
#include "sql/statement_builder.h"
#include "sql/stored_checksum.h"

namespace {

bool IsHexId(std::string_view id) {
  if (id.size() != 8) return false;
  for (const char c : id)
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool ToNumber(std::string_view text, std::uint64_t* value) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  *value = n;
  return true;
}

// Why a reload that replaces a table with other client bytes than it was
// loaded from says so on its line (a reload may undo a patch); empty when
// the bytes are the same.
std::string ReplacedSource(const TableRecord& was, const TableRecord& now) {
  const std::string loaded = " it was loaded from on " + was.loaded;
  if (was.file != now.file) return "replaced from " + now.file + ", not from " + was.file + loaded;
  if (was.size == now.size && was.digest == now.digest) return "";
  return "replaced from " + now.file + ", whose bytes are not those" + loaded +
         (was.size != now.size
              ? " (size " + std::to_string(was.size) + ", now " + std::to_string(now.size) + ")"
              : " (xxh3 " + was.digest + ", now " + now.digest + ")");
}

}  // namespace

std::string RunMark() { return std::string(kProgramName) + " run "; }

std::string SlotName(int slot) {
  return "slot " + std::to_string(slot) + " (" +
         (slot >= 0 && slot < static_cast<int>(kLocaleCount) ? kLocaleNames[slot] : "?") + ")";
}

std::optional<std::string> CommentOf(ServerSession& session, const std::string& name) {
  std::string comment;  // "=" and the comment: a table without one is there too
  session.Value(
      "SELECT CONCAT('=', TABLE_COMMENT) FROM information_schema.TABLES WHERE "
      "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '" +
          name + "'",
      &comment);
  if (comment.empty()) return std::nullopt;
  return comment.substr(1);
}

std::optional<TableRecord> RecordOf(ServerSession& session, const std::string& name) {
  const std::optional<std::string> comment = CommentOf(session, name);
  return comment ? TableRecord::Parse(*comment, RunMark()) : std::nullopt;
}

std::string MarkId(std::string_view comment, std::string_view mark) {
  if (!comment.starts_with(mark)) return "";
  const std::string_view rest = comment.substr(mark.size());
  const std::string_view id = rest.substr(0, 8);
  if (!IsHexId(id) || (rest.size() > 8 && rest[8] != ';')) return "";
  return std::string(id);
}

std::string TableRecord::Comment(std::string_view mark) const {
  return std::string(mark) + run_id + "; file=" + file + "; size=" + std::to_string(size) +
         "; xxh3=" + digest + "; slot=" + std::to_string(slot) + "; engine=" + engine +
         "; charset=" + Charset() + "; rows=" + std::to_string(rows) + "; checksum=" + checksum +
         "; version=" + version + "; loaded=" + loaded;
}

std::optional<TableRecord> TableRecord::Parse(std::string_view comment, std::string_view mark) {
  TableRecord record;
  record.run_id = MarkId(comment, mark);
  if (record.run_id.empty() || comment.size() == mark.size() + 8) return std::nullopt;
  std::string_view rest = comment.substr(mark.size() + 8);
  unsigned seen = 0;
  while (rest.starts_with("; ")) {
    rest.remove_prefix(2);
    const std::size_t end = rest.find("; ");
    const std::string_view field = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
    const std::size_t equals = field.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = field.substr(0, equals), value = field.substr(equals + 1);
    std::uint64_t number = 0;
    if (key == "file") {
      record.file = value;
    } else if (key == "size" && ToNumber(value, &number)) {
      record.size = number;
    } else if (key == "xxh3") {
      record.digest = value;
    } else if (key == "slot" && ToNumber(value, &number) && number < 16) {
      record.slot = static_cast<int>(number);
    } else if (key == "engine") {
      record.engine = value;
    } else if (key == "charset") {
      record.charset = value;
    } else if (key == "rows" && ToNumber(value, &number)) {
      record.rows = number;
    } else if (key == "checksum") {
      record.checksum = value;
    } else if (key == "version") {
      record.version = value;
    } else if (key == "loaded") {
      record.loaded = value;
    } else {
      continue;  // a field of a later version
    }
    ++seen;
  }
  // A record names at least what a later run compares.
  if (!rest.empty() || record.file.empty() || record.digest.empty() || record.checksum.empty() ||
      record.engine.empty())
    return std::nullopt;
  return seen >= 5 ? std::optional<TableRecord>(record) : std::nullopt;
}

RecordKeeper::RecordKeeper(ServerSession& session, std::string run_id)
    : session_(session), run_id_(std::move(run_id)) {}

std::string RecordKeeper::Checksum(const std::string& name) {
  std::string checksum;
  if (!session_.Query("CHECKSUM TABLE `" + name + "`")) return "";
  if (MYSQL_RES* result = mysql_store_result(session_.handle())) {
    MYSQL_ROW row = mysql_fetch_row(result);
    if (row && mysql_num_fields(result) >= 2 && row[1]) checksum = row[1];
    mysql_free_result(result);
  }
  return checksum;
}

std::string RecordKeeper::SchemaDiffers(const LoadedTable& table, const std::string& name,
                                        bool utf8mb4) {
  std::string engine;
  if (!session_.Value("SELECT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
                      "DATABASE() AND TABLE_NAME = '" +
                          name + "'",
                      &engine))
    return "its engine cannot be read";
  if (engine != EngineName(session_.load().engine)) return "its engine is " + engine;
  if (!session_.Query("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_KEY, "
                      "IFNULL(CHARACTER_SET_NAME, '') FROM information_schema.COLUMNS WHERE "
                      "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = '" +
                      name + "' ORDER BY ORDINAL_POSITION"))
    return "its columns cannot be read";
  std::string differs;
  std::uint32_t c = 0;
  const TableDescriptor& descriptor = *table.Descriptor();
  // The next exported column of the catalogue, or null.
  const auto next = [&]() -> const ColumnDescriptor* {
    while (c < descriptor.column_count && !IsExported(descriptor.columns[c].type)) ++c;
    return c < descriptor.column_count ? &descriptor.columns[c++] : nullptr;
  };
  const auto text = [](const char* value) { return std::string(value ? value : ""); };
  if (MYSQL_RES* result = mysql_store_result(session_.handle())) {
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
      const ColumnDescriptor* column = next();
      if (!differs.empty()) continue;
      const std::string got = text(row[0]);
      if (!column || got != column->name)
        differs = "its column " + got + " is not the catalogue's" +
                  (column ? std::string(" ") + column->name : std::string());
      else if (text(row[1]) != SqlTypeOf(column->type) || text(row[2]) != "NO")
        differs =
            "its column " + got + " is " + text(row[1]) + (text(row[2]) == "NO" ? "" : " NULL");
      else if ((text(row[3]) == "PRI") != (column->key == Key::kPrimary))
        differs = "its column " + got + " is not in the catalogue's primary key as it was";
      else if (IsString(column->type) && text(row[4]).starts_with("utf8mb4") != utf8mb4)
        differs = "its column " + got + " is in " + text(row[4]);
    }
    mysql_free_result(result);
  }
  if (differs.empty() && next()) differs = "it lacks columns of the catalogue's";
  return differs;
}

RecordKeeper::TablePlan RecordKeeper::Check(const LoadedTable& table, const std::string& name) {
  const LoadOptions& load = session_.load();
  pending_ = TableRecord{};
  table_ = &table;
  sent_ = StoredChecksum{};
  pending_.run_id = run_id_;
  pending_.file = table.Descriptor()->file_path[0] ? table.Descriptor()->file_path : name;
  pending_.size = table.FileSize();
  pending_.digest = table.Digest();
  pending_.slot = static_cast<int>(table.Locale());
  pending_.engine = EngineName(load.engine);
  pending_.rows = table.RecordCount();
  const std::optional<std::string> comment = CommentOf(session_, name);
  const std::optional<TableRecord> record =
      comment ? TableRecord::Parse(*comment, RunMark()) : std::nullopt;
  // A table keeps the character set it was loaded with: a reload that
  // forgets --utf8mb4 must not empty it of its 4-byte characters.
  TablePlan plan;
  plan.utf8mb4 = load.utf8mb4 || (record && record->Charset() == "utf8mb4");
  pending_.charset = plan.utf8mb4 ? "utf8mb4" : "utf8";
  if (comment && !plan.utf8mb4 && table.RecordCount() > 0) {
    if (const std::string unstorable = table.UnstorableText(); !unstorable.empty()) {
      plan.before = Before::kKeep;
      plan.kept_as = FaultKind::kOther;
      plan.why =
          "its rows are kept, not replaced: " + unstorable + "; --utf8mb4 stores 4-byte characters";
      return plan;
    }
  }
  checked_.clear();
  // A comment with the tool's mark and more, which reads as no record, is
  // a record damaged on the server: kept like an edited table.
  if (comment && !record && !MarkId(*comment, RunMark()).empty() &&
      comment->size() > RunMark().size() + 8 && !load.replace_edited) {
    plan.before = Before::kKeep;
    plan.why = "its record cannot be read (\"" + comment->substr(0, 60) +
               (comment->size() > 60 ? "...\"" : "\"") +
               "): not replaced; --replace-edited replaces it";
    return plan;
  }
  // A record copied with another table's definition is not this table's.
  if (!record || record->file != pending_.file) return plan;
  checked_ = Checksum(name);
  TablePlan recorded = Recorded(table, name, *record, checked_);
  recorded.utf8mb4 = plan.utf8mb4;
  return recorded;
}

RecordKeeper::TablePlan RecordKeeper::Recorded(const LoadedTable& table, const std::string& name,
                                               const TableRecord& record, const std::string& now) {
  const LoadOptions& load = session_.load();
  TablePlan plan;
  // Kept for `why`, unless --replace-edited replaces it all the same.
  const auto keep = [&](std::string why, const std::string& replace_hint) {
    if (!load.replace_edited) {
      plan.before = Before::kKeep;
      plan.why = why + ": not replaced; " + replace_hint;
    } else {
      Warn(name + (why.starts_with("its ") ? ": " : " was ") + why +
           "; replaced, as --replace-edited asks");
    }
    return plan;
  };
  // A table loaded from another slot would have its texts replaced.
  if (!load.auto_locale && table.HasLocalizedTexts() && record.slot != pending_.slot) {
    keep("loaded from " + SlotName(record.slot) + "; this run's " + SlotName(pending_.slot) +
             " would replace its texts",
         "--replace-edited replaces it, -l auto keeps each table's slot");
    if (plan.before == Before::kKeep) return plan;
  }
  if (now.empty()) {
    // A lost connection or a signal: the table's first statement meets it.
    if (session_.lost() || PendingInterrupt()) return plan;
    // Edits cannot be ruled out: the table is kept like an edited one.
    return keep("its checksum cannot be had to compare with its record (" + session_.Error() + ")",
                "--replace-edited replaces it");
  }
  const bool same_source = record.SameSource(pending_);
  if (now != record.checksum) {
    // Rows that are already the client file's are no edit: a client
    // patched from the database, or an edit undone. The table keeps them
    // and takes a record of today's file.
    if (load.same_as_client && !PendingInterrupt() && load.same_as_client(session_, table)) {
      if (load.skip_unchanged && record.engine == pending_.engine &&
          record.Charset() == pending_.charset) {
        plan.why = SchemaDiffers(table, name, pending_.charset == "utf8mb4");
        if (!plan.why.empty()) {
          plan.why += "; replaced";
          return plan;
        }
        Record(name);
        plan.before = Before::kSkip;
      }
      return plan;
    }
    if (PendingInterrupt()) return plan;
    return keep("changed on the server since " + std::string(kProgramName) + " loaded it on " +
                    record.loaded + " (checksum " + record.checksum + ", now " + now + ")" +
                    (same_source ? "" : ", and its client file changed since too"),
                "--replace-edited replaces it");
  }
  if (load.skip_unchanged && same_source) {
    // A table whose schema was changed on the server is made again.
    plan.why = SchemaDiffers(table, name, pending_.charset == "utf8mb4");
    if (!plan.why.empty()) {
      plan.why += "; replaced";
      return plan;
    }
    plan.before = Before::kSkip;
    return plan;
  }
  // Said, as a reload may undo a patch: the table was loaded from other
  // client bytes than it is replaced by.
  if (!same_source) plan.why = ReplacedSource(record, pending_);
  return plan;
}

bool RecordKeeper::MovedSinceCheck(const std::string& name, std::string* why) {
  if (checked_.empty() || session_.load().replace_edited) return false;
  const std::string now = Checksum(name);
  if (now.empty() || now == checked_) return false;
  *why = "changed on the server while its staging table loaded (checksum " + checked_ + ", now " +
         now + "): not replaced, the new rows are dropped; --replace-edited replaces it";
  return true;
}

void RecordKeeper::Sent(std::uint32_t first, std::uint32_t count) {
  if (table_ && count > 0 && pending_.engine == EngineName(Engine::kInnoDB))
    sent_.Add(*table_, first, count);
}

std::string RecordKeeper::LoadedChecksum(const std::string& loaded_as) {
  // A MyISAM table's live checksum costs nothing and is read under the
  // rows' lock; an InnoDB table's would be a read of every row, and comes
  // after the last commit, when a queued edit may already be in it.
  if (pending_.engine != EngineName(Engine::kInnoDB) || trust_ == Trust::kServer || !table_)
    return Checksum(loaded_as);
  // The rows as they were sent; a table that kept its rows without sending
  // them (its rows already the client's) is summed whole.
  const std::optional<std::uint32_t> sent =
      sent_.rows() == table_->RecordCount() ? sent_.Sum() : StoredChecksumOf(*table_);
  if (!sent) return Checksum(loaded_as);
  // The first small table tells whether this server sums rows as
  // computed: where it does not, the server's checksums count from the
  // next table on.
  if (trust_ == Trust::kUntried && table_->RecordCount() <= kTrialRows) {
    const std::string server = Checksum(loaded_as);
    trust_ = server == std::to_string(*sent) || server.empty() ? Trust::kSent : Trust::kServer;
  }
  return std::to_string(*sent);
}

void RecordKeeper::Record(const std::string& loaded_as) {
  pending_.checksum = LoadedChecksum(loaded_as);
  const std::time_t now = std::time(nullptr);
  std::tm utc;
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", ::gmtime_r(&now, &utc));
  pending_.loaded = when;
  pending_.version = VESK_VERSION;
  const std::string comment = pending_.Comment(RunMark());
  std::string escaped(2 * comment.size() + 1, '\0');
  escaped.resize(
      mysql_real_escape_string(session_.handle(), escaped.data(), comment.c_str(), comment.size()));
  if (pending_.checksum.empty() ||
      !session_.Query("ALTER TABLE `" + loaded_as + "` COMMENT='" + escaped + "'")) {
    // Said once in the run, whichever connection meets it first.
    static std::atomic<bool> said{false};
    if (!said.exchange(true) && !PendingInterrupt())
      Warn("the record of " + loaded_as + " cannot be kept (" + session_.Error() +
           "): its edits on the server will not be told from the client's changes");
  }
}

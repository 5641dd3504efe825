#include "app/table_export.h"

#include <algorithm>
#include <condition_variable>
#include <numeric>

#include "app/held_console.h"
#include "catalogue/catalogue.h"
#include "dbc/client_files.h"
#include "port/console.h"
#include "port/interrupt.h"
#include "port/mutex.h"
#include "port/test_pause.h"
#include "port/thread.h"
#include "server/server_session.h"

namespace {

// The bytes of a table's client files, as a measure of its export's time.
std::uint64_t ClientBytes(const TableDescriptor& table) {
  std::uint64_t bytes = 0;
  for (const char* path : FilePathsOf(table)) bytes += ClientFiles::Active().SizeOf(path);
  return bytes;
}

}  // namespace

TableOutcome ExportTable(DBCFile& writer, const TableDescriptor& table, bool script,
                         const std::function<void()>& loaded) {
  TableOutcome outcome;
  const unsigned faults = writer.ExportFaults();
  const std::uint64_t bytes = writer.BytesWritten();
  // A table that did not load leaves the writer with no table: nothing of
  // the one loaded before may be read for it (its descriptor, its count).
  const bool read =
      IsMergedTable(table) ? writer.LoadRatingTable(&table, RatingSources()) : writer.Load(&table);
  if (PendingInterrupt()) return outcome;  // before the table is touched
  if (read && loaded) loaded();
  outcome.reached = true;
  outcome.dumped = writer.DumpTable();
  outcome.hint = writer.Table().EmptySlotHint();
  // A script cannot see the server refuse a text: say so here.
  if (script) {
    outcome.unstorable = writer.Table().UnstorableText();
    if (!outcome.unstorable.empty()) Warn(outcome.unstorable);
  }
  // The first fault of the table tells why it failed; rows that stopped
  // part-way, the fault that stopped them.
  const bool cut = writer.RowsCut() && writer.TableRows() > 0;
  const DBCFile::Fault& fault = writer.FaultAt(cut ? writer.ExportFaults() - 1 : faults);
  outcome.in_full = writer.ExportFaults() == faults;
  outcome.skipped = read && writer.TableSkipped();
  outcome.replaced = outcome.dumped ? writer.TableNote() : "";
  outcome.fault = fault;
  outcome.bytes = writer.BytesWritten() - bytes;
  outcome.rows = cut ? writer.TableRows() : 0;
  outcome.records = read ? writer.Table().RecordCount() : 0;
  if (read && writer.Table().HasLocalizedTexts())
    outcome.slot = static_cast<int>(writer.Table().Locale());
  return outcome;
}

bool RefusedForEveryTable(const TableOutcome& outcome) {
  return !outcome.in_full && outcome.reached && outcome.rows == 0 &&
         RefusesEveryStatement(outcome.fault.code);
}

void RecordOutcome(RunReport& report, const TableDescriptor& table, const TableOutcome& outcome) {
  report.Note(outcome.hint);
  report.Note(outcome.unstorable);
  report.Note(outcome.replaced);
  TableEntry entry{.table = &table, .rows = outcome.rows, .records = outcome.records};
  entry.note = outcome.replaced;
  entry.slot = outcome.slot;
  entry.bytes = outcome.bytes;
  const bool kept = report.keeps_edited() && outcome.fault.kind == FaultKind::kEdited;
  entry.status = outcome.skipped    ? TableStatus::kSkipped
                 : outcome.in_full  ? TableStatus::kExported
                 : kept             ? TableStatus::kKept
                 : outcome.rows > 0 ? TableStatus::kPartial
                                    : FailedFor(outcome.fault);
  // (In full: every record taken.)
  if (outcome.in_full) entry.rows = outcome.records;
  if (!outcome.in_full) entry.fault = outcome.fault;
  report.TableDone(std::move(entry));
}

namespace {

// Which table each connection takes next. The largest first, so that the
// run takes little more than its largest table while the other connections
// take the rest; but the client files of the tables in flight together stay
// within the largest one's size and kSlack, so that the run's memory stays
// that of one connection: a connection takes the largest table left that
// fits, and waits while none does.
class Schedule {
 public:
  explicit Schedule(const std::vector<const TableDescriptor*>& tables) : bytes_(tables.size()) {
    for (std::size_t i = 0; i < tables.size(); ++i) bytes_[i] = ClientBytes(*tables[i]);
    order_.resize(tables.size());
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return bytes_[a] > bytes_[b]; });
    budget_ = (bytes_.empty() ? 0 : bytes_[order_[0]]) + kSlack;
    taken_.resize(tables.size());
    counted_.resize(tables.size());
  }

  // The next table for a connection (its index), or kNone when none is
  // left or the run stops.
  std::size_t Take() EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    for (;;) {
      if (stopped_ || PendingInterrupt()) return kNone;
      const std::uint64_t in_flight =
          std::accumulate(counted_.begin(), counted_.end(), std::uint64_t{0});
      bool left = false;
      for (const std::size_t table : order_) {
        if (taken_[table]) continue;
        left = true;
        if (in_flight + bytes_[table] > budget_) continue;
        taken_[table] = true;
        counted_[table] = bytes_[table];
        return table;
      }
      if (!left) return kNone;
      TestPause("schedule-wait");
      mutex_.Await(changed_);
    }
  }
  // The table is loaded and checked, and keeps no more than `resident` of
  // its bytes in memory from now on (a mapped file lets its records go once
  // read).
  void Loaded(std::size_t table, std::uint64_t resident) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      if (resident >= counted_[table]) return;
      counted_[table] = resident;
    }
    changed_.notify_all();
  }
  // The table's export is over.
  void Finish(std::size_t table) EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      counted_[table] = 0;
    }
    changed_.notify_all();
  }
  void Stop() EXCLUDES(mutex_) {
    {
      MutexLock lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

 private:
  // Room beside the largest table: small tables, copied into memory whole.
  static constexpr std::uint64_t kSlack = 2 << 20;

  std::vector<std::uint64_t> bytes_;  // client bytes of each table
  std::vector<std::size_t> order_;    // largest first
  std::uint64_t budget_ = 0;
  Mutex mutex_;
  std::condition_variable changed_;
  std::vector<bool> taken_ GUARDED_BY(mutex_);
  // The bytes each table in flight counts for (0 for the others).
  std::vector<std::uint64_t> counted_ GUARDED_BY(mutex_);
  bool stopped_ GUARDED_BY(mutex_) = false;
};

}  // namespace

namespace {

// What the connections of a parallel export share: the schedule, the
// outcomes in catalogue order, the console that holds their lines, and why
// each connection ended the run, if it did. Each outcome and end is
// written by the one thread that took its table or owns the connection,
// and read once every thread has ended.
struct SideBySide {
  explicit SideBySide(const std::vector<const TableDescriptor*>& chosen, std::size_t connections)
      : tables(chosen),
        schedule(chosen),
        outcomes(chosen.size()),
        console(chosen.size()),
        ends(connections) {}

  // One connection's part: tables from the schedule until none is left.
  void Work(DBCFile& writer, std::size_t connection);
  // Whether the connection can take another table. The first one holds
  // the database's lock: without it the run cannot go on. Another one
  // that is gone leaves its tables to the rest; one refused (a staging
  // table that cannot be dropped) ends the run.
  bool GoesOn(DBCFile& writer, std::size_t connection);

  const std::vector<const TableDescriptor*>& tables;
  Schedule schedule;
  std::vector<TableOutcome> outcomes;
  HeldConsole console;
  std::vector<std::string> ends;
};

bool SideBySide::GoesOn(DBCFile& writer, std::size_t connection) {
  if (writer.Ready()) return true;
  if (connection == 0 || !writer.OutputGone()) {
    ends[connection] = writer.LastFault();
    schedule.Stop();
  } else {
    Warn("a connection was lost and cannot be made again (" + writer.LastFault() +
         "); the other connections take its tables");
  }
  return false;
}

void SideBySide::Work(DBCFile& writer, std::size_t connection) {
  HeldConsole::Writer out(console);
  RedirectConsole redirect(&out);
  // (A run asked to stop connects no more: the server may not answer.)
  while (!PendingInterrupt() && GoesOn(writer, connection)) {
    const std::size_t slot = schedule.Take();
    if (slot == Schedule::kNone) return;
    out.Begin(slot);
    // A mapped file keeps its string block in memory, and its records
    // only while they are sent (see DBCFile::ForgetBehind()).
    const auto loaded = [&] {
      const LoadedTable& table = writer.Table();
      TestPause("loaded", tables[slot]->table_name);
      if (table.IsMapped()) schedule.Loaded(slot, table.StringBlockSize());
    };
    outcomes[slot] = ExportTable(writer, *tables[slot], false, loaded);
    out.End();
    if (RefusedForEveryTable(outcomes[slot])) {
      ends[connection] = outcomes[slot].fault.reason;
      schedule.Stop();
    }
    // Its memory goes before another table may take its room (an
    // interrupted run keeps it, to name the table left partial).
    if (!PendingInterrupt()) writer.Unload();
    schedule.Finish(slot);
    if (!outcomes[slot].reached) return;
  }
}

}  // namespace

int ExportInParallel(const std::vector<const TableDescriptor*>& tables, DBCFile& first,
                     std::vector<std::unique_ptr<DBCFile>>& others, RunReport& report,
                     std::string* ended) {
  SideBySide run(tables, others.size() + 1);
  const auto work = [&run](DBCFile& writer, std::size_t connection) {
    run.Work(writer, connection);
  };
  first.ForgetBehind(true);
  for (std::unique_ptr<DBCFile>& other : others) other->ForgetBehind(true);
  std::vector<Thread> threads(others.size());
  for (std::size_t i = 0; i < others.size(); ++i)
    if (!threads[i].Start([&work, writer = others[i].get(), i] { work(*writer, i + 1); }))
      Warn("no thread can be had for another connection; the others take its tables");
  work(first, 0);
  for (Thread& thread : threads) thread.Join();
  for (const std::string& end : run.ends)
    if (ended->empty()) *ended = end;

  int exported = 0;
  for (std::size_t i = 0; i < tables.size(); ++i) {
    if (!run.outcomes[i].reached) continue;
    exported += run.outcomes[i].dumped;
    RecordOutcome(report, *tables[i], run.outcomes[i]);
  }
  return exported;
}

// The storage engine of the tables a run creates, and what it asks of the
// rows. MyISAM (the default) takes rows one statement at a time, each kept
// once applied. InnoDB is what a Galera cluster replicates, and it pays for
// every commit with a log flush (a cluster: with a round of certification),
// so its rows are committed in transactions of many rows: never one per row,
// and never one for a whole table, as a cluster bounds the size of one
// (wsrep_max_ws_rows, wsrep_max_ws_size). The server sink and the script
// use the same bounds.
#pragma once

#include <cstddef>
#include <cstdint>

enum class Engine { kMyISAM, kInnoDB };

inline const char* EngineName(Engine engine) {
  return engine == Engine::kInnoDB ? "InnoDB" : "MyISAM";
}

// Rows of one transaction, at most.
inline constexpr std::uint32_t kTransactionRows = 2000;
// Bytes of the statements of one transaction, at most (a transaction of one
// larger row is that row alone).
inline constexpr std::size_t kTransactionBytes = std::size_t{4} << 20;

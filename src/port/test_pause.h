// Named places where a test can hold a run: a test that must act at one
// exact moment of a run (send a signal, kill the run's connection, stop the
// server) holds the run there, sees that it arrived, acts, and lets it go,
// instead of guessing the moment from a sleep or a console line.
//
// A point is armed only by the environment variable
// VESK_DBC2SQL_TEST_PAUSE, a comma-separated list of `point@fifo` or
// `point:key@fifo`, and only where both `fifo` and `fifo.go` are FIFOs
// owned by the user the process runs as: an ordinary environment, or a
// stray variable naming a regular file or another user's FIFO, arms
// nothing. Each armed entry holds the run once, the first time its point
// is reached (with the same key, when the entry names one); any thread may
// reach it.
//
// The handshake, which the test side in tests/support follows:
//   1. the run opens `fifo` for writing (waiting for the test to open it
//      for reading), writes "<point> <key> <detail>\n" and closes it: the
//      test reads that line, then end of file: the run is held;
//   2. the run opens `fifo.go` for reading and waits until a writer has
//      opened and closed it: the test does so to let the run go.
// A signal that arrives while the run is held is taken as usual (the
// handler runs; the run sees the request when it goes on): a test can
// send one at a point and know where it landed.
#pragma once

#include <string_view>

// Holds the run at `point` if an armed entry names it (and `key`, when the
// entry has one). `detail` goes to the test with the arrival line (a
// connection's id, say). Costs one load of a flag when nothing is armed.
void TestPause(std::string_view point, std::string_view key = {}, std::string_view detail = {});

// Whether any entry is armed: a caller whose key or detail costs something
// to build builds it only then.
bool TestPauseArmed();

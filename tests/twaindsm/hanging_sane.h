// The test's side of hanging_sane.cpp, a SANE library whose calls hang on request.
#pragma once

extern "C" {
// Nothing hangs, no sane_close counted.
void hanging_sane_reset();
// From now on `call` ("sane_read", "sane_cancel", "sane_start", "sane_close") hangs when made.
void hanging_sane_hang(const char *call);
// Lets every hanging call return; none hangs any more.
void hanging_sane_release();
// Non-zero once a thread hangs in `call`; 0 after the timeout.
int hanging_sane_wait_blocked(const char *call, int timeoutMs);
// Non-zero once no thread hangs any more.
int hanging_sane_wait_unblocked(int timeoutMs);
// Non-zero once sane_close has returned `count` times.
int hanging_sane_wait_closes(int count, int timeoutMs);
// Waits until every handle ever opened has been closed (0 at the deadline).
int hanging_sane_wait_all_closed(int timeoutMs);
int hanging_sane_closes();
}

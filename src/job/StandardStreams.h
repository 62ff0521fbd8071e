#pragma once

// Standard input as a job reads it, and the process's stop request (a stop signal), which
// ends a job's waits for standard input and for the output stream (--stdout): the job then
// ends "aborted".

#include <cstddef>
#include <cstdio>

// Standard input as a C file of its own ("rb"; closing it leaves descriptor 0 open). A
// pipe or a terminal is read through waits that a stop request ends: the read then fails.
// Throws with the system's reason when the descriptor cannot be duplicated.
std::FILE* OpenStandardInput();

// Makes stop requests able to wake the waits; call before installing the signal handlers.
void PrepareStopRequests();
// Points SIGINT, SIGTERM and SIGHUP (the terminal closed) at `handler`, except a signal the
// process was started with ignored, which stays ignored (nohup, or a background job of a
// script, which the shell starts deaf to SIGINT). Ignores SIGXFSZ: an output beyond the file
// size limit (ulimit -f, which cluster schedulers pass on) fails its job ("File too large")
// instead of ending the program.
void InstallStopSignals(void (*handler)(int));
// Async-signal-safe: for a signal handler.
void RequestStop() noexcept;
bool StopRequested() noexcept;
// Waits until `fd` takes `bytes` in one write without blocking, as far as can be told (or
// reports an error): true. A pipe must have that much room, and a little more for the pages its
// contents take; one smaller than that, and anything else, must be ready for a write. False
// when a stop is requested first; once one was, it waits a second at most, so that a reader
// that stopped reading cannot keep the program from ending.
bool WaitToWrite(int fd, std::size_t bytes);

// Keeps asynchronous signals away from the threads that a scope starts.
#pragma once

#include <signal.h>

namespace vestra {

/// While alive, the calling thread blocks every asynchronous signal, so the threads it
/// starts inherit that mask: a process-directed signal (Ctrl-C) then reaches a thread that
/// can take it, the interpreter's main thread, and interrupts its wait at once. Faults
/// that the hardware raises stay deliverable.
class SignalBlock {
 public:
  SignalBlock() noexcept {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace vestra

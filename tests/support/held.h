// held.h - test support: a program held still while input piles up for it.
#ifndef KESTARA_TESTS_SUPPORT_HELD_H
#define KESTARA_TESTS_SUPPORT_HELD_H

#include "process.h"

namespace kt {

// Stops `process` (SIGSTOP) and waits until the system shows it stopped, so that whatever is
// sent to it meanwhile waits for it together when it goes on (process.signal(SIGCONT)). True
// when it is stopped.
bool hold(Process &process);

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_HELD_H

#pragma once

// For the tests of interrupted upgrades: in a test program linked with the
// active copy of this unit (built with UPGRADE_FAULT_INJECTION, see
// tests/faults.cmake), the environment variable UPGRADE_FAULT_AFTER=k makes
// the process die at once, as if killed, right after the k-th change an
// upgrade makes durable (a file change, a journal entry, the end of a script
// or of the database helper). In the engine library, and so in the installer
// and the benchmarks, it does nothing.
namespace FaultInjection {

void changeMade();

} // namespace FaultInjection

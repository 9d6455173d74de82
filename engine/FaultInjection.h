#pragma once

// For the tests of interrupted upgrades: in a build with fault injection
// (the CMake option UPGRADE_FAULT_INJECTION, on where tests are built), the
// environment variable UPGRADE_FAULT_AFTER=k makes the process die at once,
// as if killed, right after the k-th change an upgrade makes durable (a file
// change, a journal entry, the end of a script or of the database helper).
// Anywhere else it does nothing.
namespace FaultInjection {

void changeMade();

} // namespace FaultInjection

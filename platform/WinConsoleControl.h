#pragma once

// The console's requests to end the process (Ctrl+C, Ctrl+Break, the console
// closing, log-off, shutdown) turned into a call of request(), made on a
// thread of the system's, instead of the end. For the console's closing,
// log-off and shutdown Windows ends the process as soon as the handler
// returns: it waits until release() is called. (A process that has loaded
// user32.dll, as Qt does, gets no log-off and shutdown here.)
namespace WinConsoleControl {

// False when the handler could not be set (GetLastError tells why).
bool install(void (*request)());

// Removes the handler; one still waiting returns.
void release();

} // namespace WinConsoleControl

#pragma once

// The installer's exit codes, the same for the window and every mode that
// ends by itself; the first values are those of UpgradeOutcome.
enum ExitCode {
    ExitUpgraded = 0, // also: already up to date; --recover left a consistent installation;
                      // --dry-run passed
    ExitRestored = 1, // the upgrade failed, the installation is as before
    ExitNotRestored = 2, // the upgrade failed, not everything could be put back
    ExitPackageRefused = 3, // unreadable, damaged, doesn't fit, signature
    ExitSuiteRunning = 4, // a program of the suite is running
    ExitBusy = 5, // another upgrade runs on this installation
    ExitPreflightRefused = 6, // files in use or not writable, disk space, paths, backup
    ExitNoRecord = 7, // the installation record can't be read
    ExitManualAction = 8, // upgraded, but a person must finish something (the log says what)
    ExitUsage = 64 // a mistake on the command line
};

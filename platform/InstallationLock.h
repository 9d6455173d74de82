#pragma once

#include <QString>

// One upgrade at a time per installation: a lock on a file in the main
// directory, held while the object lives and released by the operating system
// when the process ends, however it ends (flock on Unix; a handle that shares
// nothing on Windows). The file is removed when the lock is released; one
// left by a process that died is taken over.
class InstallationLock
{
public:
    enum class Result {
        Taken,
        Busy, // another process holds it
        Failed // the lock file can't be created or opened
    };

    InstallationLock() = default;
    ~InstallationLock();
    InstallationLock(const InstallationLock &) = delete;
    InstallationLock &operator=(const InstallationLock &) = delete;

    Result take(const QString &lockFile);
    void release();
    bool isHeld() const { return held; }
    // Whether another process holds the lock on lockFile now; changes nothing.
    static bool isHeldElsewhere(const QString &lockFile);
    // Why taking it failed, in the system's words.
    QString errorString() const { return error; }

private:
    bool held = false;
#ifdef Q_OS_WIN
    void *handle = nullptr;
#else
    int fd = -1;
    QByteArray path;
#endif
    QString error;
};

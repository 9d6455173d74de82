#pragma once

#include <QString>

#include <cstdint>
#include <vector>

#include "PathGuard.h"

// The main directory held open for a whole upgrade, and the folders each
// change acts in, reached from that handle and never through a link that
// leads out of it.
//
// A path is checked by path and then renamed by path: between the two a link
// planted on the way redirects the rename. Here a change instead opens the
// folder that holds its entry from the main directory's handle (Linux:
// openat2 with RESOLVE_BENEATH, or a walk part by part with O_NOFOLLOW that
// resolves links itself; Windows: every part opened without following reparse
// points and held without delete sharing, so none can be swapped while it is
// held) and acts in that folder by its handle. A link that stays inside is
// followed as before; one that leads out, and ".." above the main directory,
// fail the change. Nothing is cached between changes: each resolves afresh.
//
// Folders of the upgrade's own (staging, backups) can be held as roots of
// their own: paths below them are resolved from their handle, wherever the
// folder is moved since, and no link inside them is followed out of them.
class ContainedTree
{
public:
    // The folder that holds one entry, opened and held while it is in use.
    class Parent
    {
    public:
        enum class State {
            Ready,
            Missing, // a folder on the way doesn't exist
            Escapes, // a link on the way leads outside: see escape
            Failed // the folder can't be opened: see reason
        };

        Parent();
        ~Parent();
        Parent(Parent &&other) noexcept;
        Parent &operator=(Parent &&other) noexcept;
        Parent(const Parent &) = delete;
        Parent &operator=(const Parent &) = delete;

        State state() const { return result; }
        bool ready() const { return result == State::Ready; }
        // The entry by a path that reaches it through the held folder (on
        // Linux "/proc/<pid>/fd/<n>/<name>", which the kernel takes to the
        // held folder itself, not to whatever now has its name). Empty when
        // not ready.
        QString entry() const;
        // The held folder's own handle and the entry's name in it, for calls
        // made relative to the folder; -1 when not ready.
        std::intptr_t folderHandle() const { return ready() && !held.empty() ? held.back() : -1; }
        const QString &entryName() const { return name; }
        const PathGuard::Escape &escape() const { return escaped; }
        // Why it is not ready, as a line for the log.
        QString reason() const;

    private:
        friend class ContainedTree;
        State result = State::Failed;
        QString folderPath; // the held folder, as a path
        QString name; // the entry's name in it
        PathGuard::Escape escaped;
        QString failure;
        std::vector<std::intptr_t> held; // closed with the object
    };

    // Opens the main directory (following a link to it: the main directory
    // may itself be reached through one).
    explicit ContainedTree(const QString &mainDir);
    ~ContainedTree();
    ContainedTree(const ContainedTree &) = delete;
    ContainedTree &operator=(const ContainedTree &) = delete;

    bool isOpen() const;
    QString mainDir() const { return main; }

    // Holds folder, which must lie below the main directory and be reached
    // without a link leading out, as a root of its own (see above). False,
    // with the reason, when it can't be opened so.
    bool hold(const QString &folder, Parent *refusal = nullptr);

    // The path that reaches path through the held root it lies in or below
    // (on Linux "/proc/<pid>/fd/<n>/…", usable by child processes too, as
    // long as this object lives); path itself when no held root holds it.
    QString through(const QString &path) const;

    // Opens the folder that holds path (a path below the main directory or
    // below a held root, as text; "." and ".." are not folded first).
    Parent parentOf(const QString &path) const;

private:
    struct Root
    {
        QString path; // cleaned, absolute, as text
        QString final; // where it finally is (links followed), for links that name it
        QString handlePath; // a path that reaches the held folder itself
        std::intptr_t handle = -1;
    };
    // Per platform: opening a root (the main directory following a link to
    // it, a held folder never), resolving below one, closing a handle.
    static bool openRoot(const QString &path, bool follow, Root *root, QString *error);
    Parent resolve(const Root &root, const QStringList &folders, const QString &name) const;
    static void closeHandle(std::intptr_t handle);

    QString main;
    std::vector<Root> roots; // the main directory first
};

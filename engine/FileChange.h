#pragma once

#include <QString>

#include "FileTree.h"

class ContainedTree;

// One change of the delete, update and add steps, as the upgrade's journal
// records it before it is made. Each change is one rename that either
// happened or didn't; where a rename can't cross file systems a copy under a
// temporary name takes its place, so that the final name still appears in
// one step. Backups are moved, not copied, and removed only after the
// upgrade is committed.
struct FileChange
{
    enum Kind {
        MoveAway, // target (file, link or folder) -> backup: a deletion
        Replace, // target kept as backup, source (staged) takes its place
        MoveIn, // source (staged) -> target, which doesn't exist yet
        MakeFolder // target is created as an empty folder
    };

    Kind kind = MoveAway;
    QString target; // in the installation
    QString source; // in the staging folder (Replace, MoveIn)
    QString backup; // in the backup folder (MoveAway, Replace)
    int files = 1; // files it brings or takes, for the progress (not journaled)
    // How it was made, for its undo: by a rename (nothing to clean up), or
    // not known (read from a journal) or by a copy.
    bool renamed = true;

    // Every change reaches its target, source and backup through their
    // folders, opened from the held main directory (or a held staging or
    // backup folder) for this change alone and never through a link leading
    // outside; it renames and removes in those folders by their handles. A
    // folder on the way that leads out refuses the change, with nothing done
    // and the refusal noted against target (a script may have planted a link
    // since the plan was made). The entries themselves may be links: a rename
    // or a removal acts on the link alone.

    enum class Applied {
        Failed, // target left as it was; failures say why
        Renamed,
        Copied // under a temporary name, then renamed into place
    };
    // Carries the change out.
    Applied apply(FileTree::Failures *failures, ContainedTree &tree) const;

    // Takes the change back as far as the files show it was made, so that it
    // is safe whether the change happened, half happened or didn't, and safe
    // to repeat (a recovery after a crash at any point). made tells what is
    // known for sure: true when the change was made (an undo at the time),
    // false when it may or may not have been (a recovery from the journal).
    bool undo(bool made, FileTree::Failures *failures, ContainedTree &tree) const;

    // Journal form: one line, fields separated by tabs, paths encoded by
    // JournalCodec. fromLine is false for a line that is not such a form.
    QString toLine() const;
    static bool fromLine(const QString &line, FileChange *change);
};

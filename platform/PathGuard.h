#pragma once

#include <QHash>
#include <QString>

// Says whether a path below the main directory can be written without passing
// through a link (symbolic link, junction) that leads outside it. Links whose
// final location stays inside the main directory are followed as usual.
//
// "Inside" is judged against the main directory's final location: a main
// directory that is itself reached through a link is fine. Paths are taken as
// text below the main directory (the main directory as given, not its final
// location); ".." is folded first, and a path that then doesn't lie below the
// main directory is an escape of its own.
//
// Two rules, for the two ways the installer acts on a path:
// - check(): a folder the installer writes INTO (or a file it writes through):
//   every existing part, the last one included, must stay inside.
// - checkParent(): a target that is removed or replaced: the folders leading
//   to it must stay inside; the target itself may be a link to anywhere, as
//   removing or replacing it acts on the link alone, never on what it points
//   to. The main directory itself is no such target (its parent is outside).
// Parts that don't exist yet are fine: the installer creates plain folders.
// A part that can't be looked at (no access) is passed: whatever the
// installer then does below it fails the same way.
class PathGuard
{
public:
    // The part that is a link, and where it finally leads.
    struct Escape
    {
        QString link;
        QString target;
    };

    explicit PathGuard(const QString &mainDir);

    bool check(const QString &path, Escape *escape = nullptr);
    bool checkParent(const QString &path, Escape *escape = nullptr);

    // Verdicts on folders are kept until forget(): the pre-flight checks many
    // targets in the same folders at one moment. (The changes themselves are
    // not judged by path: ContainedTree opens their folders afresh for each.)
    // The main directory's final location is looked up again after it, too.
    void forget();
    // How many folders have a verdict kept: what checking many targets costs
    // grows with their folders, not with the targets.
    int foldersJudged() const { return verdicts.size(); }

    // A path as the guard compares it: absolute, "." and ".." folded.
    static QString cleaned(const QString &path);
    // Whether path is dir or lies below it, by whole parts: "/suite2" is not
    // below "/suite" (without regard to case on Windows).
    static bool atOrBelow(const QString &path, const QString &dir);

    // "<link>指向安装目录之外(<target>)", with native separators.
    static QString describe(const Escape &escape);
    // The line of a change refused for it: "拒绝写入:" and describe().
    static QString refusal(const Escape &escape);

private:
    struct Verdict
    {
        bool ok = true;
        Escape escape;
    };

    bool checkCleaned(const QString &path, Escape *escape);
    // Looks at the parts of folder below known (an ancestor already found
    // good, or the main directory) from the top down; per platform.
    bool walk(const QString &known, const QString &folder, Escape *escape);
    // On Linux, ".." in a path is taken by the system after the links before
    // it are followed: such a path must finally lie inside, too.
    bool physicalCheck(const QString &raw, bool parentOnly, Escape *escape);

    QString main;
    QString mainFinal; // resolved when first needed after construction or forget()
    QHash<QString, Verdict> verdicts;
};

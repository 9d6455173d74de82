#include "ContainedTree.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString cleaned(const QString &path)
{
    return PathGuard::cleaned(path);
}

// Whether path lies strictly below dir; same(): is dir itself.
bool below(const QString &path, const QString &dir)
{
    return path.size() != dir.size() && PathGuard::atOrBelow(path, dir);
}

bool same(const QString &path, const QString &dir)
{
    return path.size() == dir.size() && PathGuard::atOrBelow(path, dir);
}

} // namespace

ContainedTree::Parent::Parent() = default;

ContainedTree::Parent::~Parent()
{
    for (const std::intptr_t handle : held)
        ContainedTree::closeHandle(handle);
}

ContainedTree::Parent::Parent(Parent &&other) noexcept
    : result(other.result)
    , folderPath(std::move(other.folderPath))
    , name(std::move(other.name))
    , escaped(std::move(other.escaped))
    , failure(std::move(other.failure))
    , held(std::move(other.held))
{
    other.held.clear();
    other.result = State::Failed;
}

ContainedTree::Parent &ContainedTree::Parent::operator=(Parent &&other) noexcept
{
    if (this != &other) {
        Parent gone(std::move(*this));
        result = other.result;
        folderPath = std::move(other.folderPath);
        name = std::move(other.name);
        escaped = std::move(other.escaped);
        failure = std::move(other.failure);
        held = std::move(other.held);
        other.held.clear();
        other.result = State::Failed;
    }
    return *this;
}

QString ContainedTree::Parent::entry() const
{
    return ready() ? folderPath + QLatin1Char('/') + name : QString();
}

QString ContainedTree::Parent::reason() const
{
    return result == State::Escapes ? PathGuard::refusal(escaped) : failure;
}

ContainedTree::ContainedTree(const QString &mainDir)
    : main(cleaned(mainDir))
{
    Root root;
    QString error;
    if (!main.isEmpty() && openRoot(main, true, &root, &error))
        roots.push_back(root);
}

ContainedTree::~ContainedTree()
{
    for (const Root &root : roots)
        closeHandle(root.handle);
}

bool ContainedTree::isOpen() const
{
    return !roots.empty();
}

bool ContainedTree::hold(const QString &folder, Parent *refusal)
{
    const QString path = cleaned(folder);
    for (const Root &root : roots) {
        if (same(root.path, path))
            return true;
    }
    Parent parent = parentOf(path);
    Root root;
    QString error;
    if (parent.ready() && openRoot(parent.entry(), false, &root, &error)) {
        root.path = path;
#ifdef Q_OS_WIN
        root.handlePath = path;
#endif
        roots.push_back(root);
        return true;
    }
    if (parent.ready()) {
        // The folder itself is a link, or can't be opened as a folder.
        parent.result = Parent::State::Failed;
        parent.failure = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error);
    }
    if (refusal)
        *refusal = std::move(parent);
    return false;
}

QString ContainedTree::through(const QString &path) const
{
    const QString target = cleaned(path);
    for (size_t i = 1; i < roots.size(); ++i) {
        const Root &root = roots[i];
        if (same(target, root.path))
            return root.handlePath;
        if (below(target, root.path))
            return root.handlePath + target.mid(root.path.size());
    }
    return path;
}

ContainedTree::Parent ContainedTree::parentOf(const QString &path) const
{
    const QString target = cleaned(path);
    // The deepest held root the path lies below.
    const Root *from = nullptr;
    for (const Root &root : roots) {
        if (below(target, root.path) && (!from || root.path.size() > from->path.size()))
            from = &root;
    }
    if (!from) {
        Parent outside;
        outside.result = roots.empty() ? Parent::State::Failed : Parent::State::Escapes;
        outside.escaped = { path, target };
        outside.failure = QDir::toNativeSeparators(main);
        return outside;
    }
    QStringList parts = target.mid(from->path.size() + 1).split(QLatin1Char('/'));
    const QString name = parts.takeLast();
    return resolve(*from, parts, name);
}

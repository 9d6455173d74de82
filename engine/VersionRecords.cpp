#include "VersionRecords.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

#include "ContainedTree.h"
#include "EngineLog.h"
#include "PathGuard.h"
#include "SuiteLayout.h"
#include "UpgradeConstants.h"
#include "UpgradeRequest.h"
#include "VersionRecordFile.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("CUpgradeWorker", text);
}

QString failureLine(const QString &path)
{
    return tr("升级成功,但修改%1版本信息失败,请手动修改!").arg(QDir::toNativeSeparators(path));
}

} // namespace

namespace VersionRecords {

QStringList updateAll(const UpgradeRequest &request, ContainedTree *tree, QList<Failure> *failures)
{
    QStringList lines;
    for (const QString &copy :
        SuiteLayout::recordCopies(UpgradeConstants::installDir(), request.mainPath))
        lines += update(copy, request, tree, failures);
    return lines;
}

QStringList update(const QString &path, const UpgradeRequest &request, ContainedTree *tree,
    QList<Failure> *failures)
{
    const auto failed = [&](const QString &reason) {
        if (failures)
            failures->append({ QDir::toNativeSeparators(path), reason, failureLine(path) });
    };
    // The record itself may be a link only while it stays inside.
    // The folder stays open in parent while the record is written through it.
    QString writePath = path;
    ContainedTree::Parent parent;
    const QString &mainPath = request.mainPath;
    if (tree && !mainPath.isEmpty()
        && PathGuard::atOrBelow(PathGuard::cleaned(path), PathGuard::cleaned(mainPath))) {
        parent = tree->parentOf(path);
        PathGuard::Escape escape;
        if (parent.state() == ContainedTree::Parent::State::Escapes
            || !PathGuard(mainPath).check(path, &escape)) {
            const QString reason = parent.state() == ContainedTree::Parent::State::Escapes
                ? parent.reason()
                : PathGuard::refusal(escape);
            failed(reason);
            return { reason, failureLine(path) };
        }
        if (parent.ready())
            writePath = parent.entry();
    }
    QString reason;
    switch (VersionRecordFile::rewrite(writePath, request.version, request.versionTo, &reason)) {
    case VersionRecordFile::Result::Written:
        return { tr("修改%1版本信息成功!").arg(QDir::toNativeSeparators(path)) };
    case VersionRecordFile::Result::ParseError:
        // Left as it was; the operator must hear that it still names the old
        // version, as for a record that can't be read.
    case VersionRecordFile::Result::CannotRead:
    case VersionRecordFile::Result::CannotWrite:
        break;
    }
    qCDebug(lcEngine).noquote() << "version record not updated:" << path << reason;
    failed(reason);
    return { failureLine(path) };
}

} // namespace VersionRecords

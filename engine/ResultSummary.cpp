#include "ResultSummary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include "PathGuard.h"

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("ResultSummary", text);
}

} // namespace

void ResultSummary::start(const QString &path)
{
    mainPath = path;
    failures.clear();
    manualActions.clear();
    cancelled = false;
}

void ResultSummary::noteFailure(const QString &kind, const QString &target, const QString &reason)
{
    failures.append({ kind, target, reason });
}

void ResultSummary::noteManualAction(const QString &line)
{
    manualActions << line;
}

QString ResultSummary::line(
    UpgradeOutcome outcome, const QString &installedBefore, const QString &installedNow) const
{
    switch (outcome) {
    case UpgradeOutcome::Upgraded:
        return manualLine();
    case UpgradeOutcome::Restored:
        if (cancelled)
            return tr("升级已取消,安装已恢复到升级前的版本");
        if (failures.isEmpty())
            return tr("升级失败,安装已恢复到升级前的版本");
        return tr("升级失败,安装已恢复到升级前的版本(原因:%1)")
            .arg(cause(failures.first(), mainPath));
    case UpgradeOutcome::NotRestored:
        return tr("升级失败,部分文件未能恢复,请重新启动升级程序完成恢复");
    case UpgradeOutcome::Busy:
        // The lock was taken, or the record changed while this one waited.
        if (!installedNow.isEmpty() && installedNow != installedBefore)
            return tr("安装已由另一个升级程序升级到%1,本次未作改动").arg(installedNow);
        return tr("另一个升级程序正在升级本安装,本次未作改动");
    }
    return QString();
}

bool ResultSummary::allowsRetry(UpgradeOutcome outcome)
{
    return outcome == UpgradeOutcome::Restored || outcome == UpgradeOutcome::Busy;
}

QString ResultSummary::cause(const Failure &failure, const QString &mainPath)
{
    // Scripts run from the staging folder: their name is what the package calls them.
    if (failure.kind == QLatin1String("script"))
        return tr("脚本 %1 执行失败").arg(QFileInfo(failure.target).fileName());
    if (failure.kind == QLatin1String("file")) {
        const QString path = PathGuard::cleaned(QDir::fromNativeSeparators(failure.target));
        const QString main = mainPath.isEmpty() ? QString() : PathGuard::cleaned(mainPath);
        const bool below = !main.isEmpty() && PathGuard::atOrBelow(path, main);
        return tr("文件 %1 无法写入")
            .arg(below ? QDir::toNativeSeparators(QDir(main).relativeFilePath(path))
                       : failure.target);
    }
    if (failure.kind == QLatin1String("database"))
        return tr("数据库升级失败");
    if (failure.kind == QLatin1String("record"))
        return tr("版本信息文件 %1 无法修改").arg(failure.target);
    return failure.reason;
}

// After a success: the version records to correct by hand, else the first
// line asking for a hand's work.
QString ResultSummary::manualLine() const
{
    QStringList records;
    for (const Failure &failure : failures) {
        if (failure.kind == QLatin1String("record"))
            records << failure.target;
    }
    if (!records.isEmpty())
        return tr("升级成功,但需要手动修改%1版本信息").arg(records.join(tr("、")));
    if (!manualActions.isEmpty())
        return tr("升级成功,但需要手动处理:%1").arg(manualActions.first());
    return QString();
}

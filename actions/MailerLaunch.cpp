#include "actions/MailerLaunch.h"

#include "settings/SettingsPaths.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace qp {

namespace {

// Only the space character is removed, as the stored path may legitimately
// hold other white space inside a file name.
QString trimSpaces(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return text.mid(begin, end - begin);
}

// Why the program could not start, worded for the user. Looked at only after
// the start failed, so it cannot disagree with what was tried.
QString failureReason(const QString& program)
{
    QString path = program;
    if (!program.contains(QLatin1Char('/'))) {
        path = QStandardPaths::findExecutable(program);
        if (path.isEmpty())
            return QStringLiteral("ファイルが見つかりません。");
    }
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("ファイルが見つかりません。");
    if (info.isDir())
        return QStringLiteral("フォルダーは起動できません。");
    if (!info.isExecutable())
        return QStringLiteral("実行できるファイルではありません。");
    return QStringLiteral("起動に失敗しました。");
}

} // namespace

QString mailProgramToStart(const QString& mailProgramText)
{
    // The marker is the exact text the start-up puts there; anything else is
    // a path, spaces around it removed.
    if (mailProgramText == kNotSet)
        return {};
    return trimSpaces(mailProgramText);
}

LaunchResult launchMailProgram(const QString& mailProgramText)
{
    LaunchResult result;
    result.program = mailProgramToStart(mailProgramText);
    if (result.program.isEmpty()) {
        result.status = LaunchResult::Status::NothingToDo;
        return result;
    }

    // Detached: the child is re-parented away from us, so there is nothing
    // to reap and nothing to watch. No arguments, no shell.
    qint64 pid = 0;
    if (QProcess::startDetached(result.program, QStringList(), QString(), &pid)) {
        result.status = LaunchResult::Status::Started;
        result.pid = pid;
        return result;
    }
    result.status = LaunchResult::Status::Failed;
    result.message = QStringLiteral("メーラーを起動できませんでした。\n%1\n%2")
                         .arg(result.program, failureReason(result.program));
    return result;
}

QString fileTitle(const QString& path)
{
    return QFileInfo(path).fileName();
}

} // namespace qp

#include "app/CommandLine.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QLocale>

#include <cstdio>

#ifndef QP_VERSION
#error "QP_VERSION must be defined by the build"
#endif

namespace qp {

namespace {

QString helpText(bool japanese)
{
    if (japanese)
        return QStringLiteral(
            "使い方: quillpost [オプション]\n"
            "POP3 または IMAP のメールボックスを 1 つ見張り、新着メールをお知らせします。\n"
            "オプションなしで起動するとウィンドウを開きます。設定はすべてウィンドウで行います。\n"
            "\n"
            "  -h, --help      この説明を表示して終了します\n"
            "  -v, --version   バージョンを表示して終了します\n"
            "\n"
            "設定ファイルの置き場所やサーバー名の書き方は quillpost(1) を参照してください。\n");
    return QStringLiteral(
        "Usage: quillpost [OPTION]\n"
        "Watches one POP3 or IMAP mailbox and tells you when new mail is waiting.\n"
        "Started without options it opens its window; every setting is made there.\n"
        "\n"
        "  -h, --help      show this help and exit\n"
        "  -v, --version   show the version and exit\n"
        "\n"
        "See quillpost(1) for the files it keeps and the server name forms.\n");
}

QString versionText()
{
    return QStringLiteral("quillpost " QP_VERSION "\n"
                          "Copyright (c) 2026 Quillpost developers\n"
                          "MIT License\n");
}

QString usageError(const QString& what, bool japanese)
{
    return japanese ? QStringLiteral("quillpost: %1\n詳しくは 'quillpost --help' を参照してください。\n").arg(what)
                    : QStringLiteral("quillpost: %1\nTry 'quillpost --help' for more information.\n").arg(what);
}

} // namespace

CommandLineAnswer answerCommandLine(const QStringList& args, bool japanese)
{
    CommandLineAnswer answer;
    if (args.size() <= 1)
        return answer;

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    parser.addOption(help);
    parser.addOption(version);

    answer.start = false;
    QString error;
    if (!parser.parse(args)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            const QString name = (unknown.first().size() == 1 ? QStringLiteral("-") : QStringLiteral("--"))
                + unknown.first();
            error = japanese ? QStringLiteral("不明なオプション '%1'").arg(name)
                             : QStringLiteral("unknown option '%1'").arg(name);
        } else {
            // The only other refusal for these options: a value given to one.
            QString given;
            for (const QString& a : args.mid(1))
                if (a.startsWith(QLatin1Char('-')) && a.contains(QLatin1Char('='))) {
                    given = a.section(QLatin1Char('='), 0, 0);
                    break;
                }
            error = japanese ? QStringLiteral("オプション '%1' は値をとりません").arg(given)
                             : QStringLiteral("option '%1' takes no value").arg(given);
        }
    } else if (!parser.positionalArguments().isEmpty()) {
        const QString extra = parser.positionalArguments().first();
        error = japanese ? QStringLiteral("余分な引数 '%1'").arg(extra)
                         : QStringLiteral("unexpected argument '%1'").arg(extra);
    } else if (parser.isSet(help)) {
        answer.out = helpText(japanese);
        return answer;
    } else if (parser.isSet(version)) {
        answer.out = versionText();
        return answer;
    } else {
        // Only "--". Any argument at all ends the process here, so the
        // launcher can hand every argument over without preparing a start.
        error = japanese ? QStringLiteral("余分な引数 '--'") : QStringLiteral("unexpected argument '--'");
    }
    answer.exitCode = 2;
    answer.err = usageError(error, japanese);
    return answer;
}

std::optional<int> answerCommandLine(int argc, char** argv)
{
    if (argc <= 1)
        return std::nullopt;
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // The language the user reads messages in (LANGUAGE, LC_ALL,
    // LC_MESSAGES, LANG), as man(1) picks the page.
    const QStringList languages = QLocale::system().uiLanguages();
    const bool japanese = !languages.isEmpty() && languages.first().startsWith(QLatin1String("ja"));
    const CommandLineAnswer answer = answerCommandLine(args, japanese);
    if (answer.start)
        return std::nullopt;
    std::fputs(answer.out.toLocal8Bit().constData(), stdout);
    std::fputs(answer.err.toLocal8Bit().constData(), stderr);
    return answer.exitCode;
}

} // namespace qp

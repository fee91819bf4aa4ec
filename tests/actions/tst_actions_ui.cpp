// The window-side glue: the homepage question, the launch notice and the
// real open-file dialog.
#include "actions/ActionsUi.h"
#include "platform/MessageBoxes.h"
#include "platform/ProgramFolder.h"
#include "tests/support/ProgramFolderFixture.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace qp;

class ActionsUiTest : public QObject {
    Q_OBJECT

private:
    QList<MessageRequest> m_requests;
    QMessageBox::StandardButton m_answer = QMessageBox::No;
    QList<QUrl> m_opened;
    bool m_openSucceeds = true;

private slots:
    void init()
    {
        m_requests.clear();
        m_opened.clear();
        setMessageHandler([this](QWidget*, const MessageRequest& r) {
            m_requests << r;
            return m_answer;
        });
        setUrlOpener([this](const QUrl& url) {
            m_opened << url;
            return m_openSucceeds;
        });
    }
    void cleanup()
    {
        setMessageHandler({});
        setUrlOpener({});
        setOpenFileDialogHandler({});
    }

    void homepagePrompt()
    {
        test::ProgramFolder folder(test::ProgramFolder::NoDataFolder);
        QVERIFY(folder.isValid());
        m_answer = QMessageBox::No;
        QCOMPARE(showHomepagePrompt(nullptr), HomepageOutcome::Declined);
        QCOMPARE(m_requests.size(), 1);
        const MessageRequest& q = m_requests.first();
        QCOMPARE(q.text, QStringLiteral("「Larkspur」作者のホームページです。ちょっと見てみますか？"));
        QCOMPARE(q.title, QStringLiteral("確認"));
        QCOMPARE(q.icon, QMessageBox::Question);
        QCOMPARE(q.buttons, QMessageBox::Yes | QMessageBox::No);
        QVERIFY(m_opened.isEmpty());

        // The page is missing: said so, no browser handed a dead address.
        m_answer = QMessageBox::Yes;
        QCOMPARE(showHomepagePrompt(nullptr), HomepageOutcome::OpenFailed);
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(m_requests.size(), 3);
        QVERIFY(m_requests.last().text.contains(QStringLiteral("help/index.html")));

        // The page in the program folder (its folder in another case too).
        QVERIFY(QDir(folder.root()).mkdir(QStringLiteral("Help")));
        QFile page(folder.programFile(QStringLiteral("Help/index.html")));
        QVERIFY(page.open(QIODevice::WriteOnly));
        page.close();
        QCOMPARE(showHomepagePrompt(nullptr), HomepageOutcome::Opened);
        QCOMPARE(m_opened, (QList<QUrl>{QUrl::fromLocalFile(page.fileName())}));
        QCOMPARE(m_requests.size(), 4);

        // No browser: a notice, and the caller goes on.
        m_openSucceeds = false;
        QCOMPARE(showHomepagePrompt(nullptr), HomepageOutcome::OpenFailed);
        m_openSucceeds = true;
        QCOMPARE(m_requests.size(), 6);
        QCOMPARE(m_requests.last().buttons, QMessageBox::Ok);
        QVERIFY(m_requests.last().text.contains(page.fileName()));
    }

    // The build lays the page into the program folder, and its table of
    // contents leads somewhere.
    void userPageShipsWithTheProgram()
    {
        setProgramFolderOverride(QStringLiteral(QP_PROGRAM_DIR));
        QFile page(userPageAddress().toLocalFile());
        setProgramFolderOverride(QString());
        QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(page.fileName()));
        const QString html = QString::fromUtf8(page.readAll());
        QVERIFY(html.contains(QStringLiteral("lang=\"ja\"")));
        QVERIFY(!html.contains(QStringLiteral("http://")) && !html.contains(QStringLiteral("https://")));
        const QRegularExpression link(QStringLiteral("href=\"#([^\"]+)\""));
        int links = 0;
        for (auto it = link.globalMatch(html); it.hasNext(); ++links) {
            const QString target = it.next().captured(1);
            QVERIFY2(html.contains(QStringLiteral("id=\"%1\"").arg(target)), qPrintable(target));
        }
        QVERIFY(links >= 10);
    }

    void launchFailureGivesNoticeOnly()
    {
        const LaunchResult failed = launchMailProgramOrNotify(nullptr, QStringLiteral(" /nonexistent/qp/mailer "));
        QCOMPARE(failed.status, LaunchResult::Status::Failed);
        QCOMPARE(m_requests.size(), 1);
        QCOMPARE(m_requests.first().text, failed.message);
        QCOMPARE(m_requests.first().title, kProgramTitle);

        QCOMPARE(launchMailProgramOrNotify(nullptr, QStringLiteral("未設定")).status,
                 LaunchResult::Status::NothingToDo);
        QCOMPARE(m_requests.size(), 1);
    }

    // The real dialog, answered the way a user would: pick, then cancel.
    void realDialogPickThenCancel()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString mailer = dir.filePath(QStringLiteral("mailer.sh"));
        QFile file(mailer);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        MailerChooser chooser;
        QString shownDirectory;
        auto answerDialog = [&](bool pick) {
            QTimer::singleShot(0, [&, pick] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                shownDirectory = dialog->directory().absolutePath();
                if (pick) {
                    dialog->selectFile(mailer);
                    static_cast<QDialog*>(dialog)->accept();
                } else {
                    dialog->reject();
                }
            });
        };

        answerDialog(true);
        MailerChooser::Choice c = chooseMailProgram(nullptr, chooser);
        QVERIFY(c.picked);
        QCOMPARE(c.mailProgramPath, mailer);
        QCOMPARE(c.mailProgramTitle, QStringLiteral("mailer.sh"));

        answerDialog(false);
        c = chooseMailProgram(nullptr, chooser);
        QVERIFY(!c.picked);
        QCOMPARE(c.mailProgramPath, mailer);
        // Reopened where the last pick was made.
        QCOMPARE(shownDirectory, dir.path());
    }

    void dialogCanBeReplaced()
    {
        QString seen = QStringLiteral("unset");
        setOpenFileDialogHandler([&](QWidget*, const QString& current) -> std::optional<QString> {
            seen = current;
            return std::nullopt;
        });
        MailerChooser chooser;
        const MailerChooser::Choice c = chooseMailProgram(nullptr, chooser);
        QCOMPARE(seen, QString());
        QVERIFY(!c.picked);
        QCOMPARE(c.mailProgramPath, QString());
    }
};

QTEST_MAIN(ActionsUiTest)
#include "tst_actions_ui.moc"

#pragma once
#include <QWidget>

#include "watchlist/KeywordStore.h"

class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace qp {

// "特定者の設定": the window in which the user keeps the keyword list (the
// senders that raise the alert). It lists every record of the keyword store,
// adds the keyword typed into Text1 and removes the selected row.
//
// A single instance: open it through qp::FormInstance<GekitaiForm>; the
// constructor runs Form_Load, and closing the window deletes it
// (WA_DeleteOnClose), so the next opening loads it afresh.
class GekitaiForm : public QWidget {
    Q_OBJECT
public:
    // mainLoopCheckValue: the value of the main window's hidden check box
    // Check1 ("ループ") when this window opens: 0 unticked, 1 ticked, 2 grayed.
    // It decides where the help box sits (1: top 3480 twips; 0: out of sight).
    explicit GekitaiForm(int mainLoopCheckValue = 1, QWidget* parent = nullptr);

    // Controls, named as the window's handlers and tests refer to them.
    QFrame* Picture2 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Text1 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QListWidget* List1 = nullptr;
    QPlainTextEdit* Text2 = nullptr;

    void Form_Load();
    void Command1_Click();
    void Command2_Click();
    void Command1_MouseMove();
    void Command2_MouseMove();
    void Text1_MouseMove();
    void List1_MouseMove();
    void Form_MouseMove();

    // Writes the text of Text1 as record n of the store (InUse 1).
    KeywordStoreStatus PutKeywordRecord(int n);

    // Tells the user, once a run and without blocking, that the store holds
    // more records than are read (the window and the check both call it).
    static void tellOfIgnoredRecordsOnce(QWidget* parent);

    // The help texts shown over "登録", the entry box and "削除".
    static const QString kHelpAdd;
    static const QString kHelpEntry;
    static const QString kHelpDelete;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void fillList();
    void reportFailure(const QString& what, const KeywordStoreStatus& status);
    void reportRecovery(const KeywordStoreStatus& status);
    void refuseCharacter(const QString& character);

    int m_mainLoopCheckValue;
    QString m_committedText1; // Text1 before the edit being validated
    friend class KeywordEntryValidator;
};

} // namespace qp

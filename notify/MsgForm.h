#pragma once
#include <QWidget>

class QLineEdit;

namespace qp {

// "新着お知らせボード": one line, centred on the screen, above every other
// window, saying that new mail is waiting and how many messages. The check
// cycle fills it and shows it; one instance, refilled when already open.
class MsgForm : public QWidget {
    Q_OBJECT
public:
    explicit MsgForm(QWidget* parent = nullptr);

    QString text1() const;
    void setText1(const QString& text);
    QString text2() const;
    void setText2(const QString& text);

private:
    QLineEdit* Text1 = nullptr;
    QLineEdit* Text2 = nullptr;
};

} // namespace qp

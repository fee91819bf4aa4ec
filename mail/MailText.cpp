#include "MailText.h"

#include "mail/Charsets.h"

namespace qp::mailtext {

QString printable(const QByteArray& bytes, qsizetype maxChars)
{
    QString s = mailheader::decodeUnlabelled(bytes);
    for (QChar& c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char(' ');
    s = s.simplified();
    if (s.size() > maxChars) {
        qsizetype cut = maxChars;
        if (s.at(cut - 1).isHighSurrogate())
            --cut;
        s = s.left(cut) + QStringLiteral("…");
    }
    return s;
}

QString serverSaid(const QByteArray& text)
{
    const QString t = printable(text);
    return t.isEmpty() ? QStringLiteral("サーバーの説明なし") : t;
}

QString notConnected()
{
    return QStringLiteral("サーバーに接続していません");
}

QString badReply(const QString& host, const QString& detail)
{
    return QStringLiteral("サーバー「%1」の応答が不正です（%2）").arg(host, detail);
}

QString lineTooLong(const QString& host)
{
    return badReply(host, QStringLiteral("行が長すぎます"));
}

QString replyTooLarge(const QString& host, qint64 bytes)
{
    return QStringLiteral("サーバー「%1」の応答が大きすぎます（%2 バイトを超えました）").arg(host, QString::number(bytes));
}

QString sessionTooLong(const QString& host, int seconds)
{
    return QStringLiteral("サーバー「%1」とのやり取りが %2 秒を超えたため、チェックを打ち切りました")
        .arg(host, QString::number(seconds));
}

QString greetingRefused(const QString& host, const QString& said)
{
    return QStringLiteral("サーバー「%1」が接続を断りました（%2）").arg(host, said);
}

QString notThisProtocol(const QString& host, const QString& protocol, const QString& said)
{
    return QStringLiteral("サーバー「%1」は %2 サーバーではないようです（%3）").arg(host, protocol, said);
}

QString tlsCommandRefused(const QString& host, const QString& command, const QString& said)
{
    return QStringLiteral("サーバー「%1」が TLS への切り替え（%2）を拒否しました（%3）").arg(host, command, said);
}

QString loginRefused(const QString& said)
{
    return QStringLiteral("ログインできません（%1）").arg(said);
}

QString oauthNotOffered(const QString& host)
{
    return QStringLiteral("サーバー「%1」は OAuth のサインイン（OAUTHBEARER、XOAUTH2）に対応していません").arg(host);
}

QString tokenNotSendable()
{
    return QStringLiteral("ID かトークンに使えない文字が含まれています");
}

QString tokenNeedsTls(const QString& host)
{
    return QStringLiteral("サーバー「%1」との接続が暗号化されていないため、サインインの情報を送りませんでした。"
                          "サーバーの設定で SSL/TLS か STARTTLS を使ってください").arg(host);
}

QString tokenRefused(const QString& said)
{
    return QStringLiteral("サインインの有効期限が切れたか、取り消されました。もう一度サインインしてください（%1）").arg(said);
}

QString credentialsWithLineBreak()
{
    return QStringLiteral("ID かパスワードに使えない文字（改行など）が含まれています");
}

QString credentialsNotEncodable(const QString& encoding)
{
    return QStringLiteral("ID かパスワードに %1 で表せない文字が含まれています").arg(encoding);
}

QString noSuchMessage(int number)
{
    return QStringLiteral("メール番号 %1 はありません").arg(number);
}

QString tlsMemoryUnreadable(const QString& memoryError, const QString& host)
{
    return memoryError
        + QStringLiteral("。TLS が外されていても気づけないため、TLS を使わないサーバー「%1」にはログインしません").arg(host);
}

QString tlsNotRemembered(const QString& memoryError)
{
    return memoryError + QStringLiteral("。ログインしません");
}

QString tlsLost(const QString& host, const QString& memoryFile, const QString& key)
{
    QString text = QStringLiteral("サーバー「%1」で TLS が使えなくなりました（以前は TLS で接続できました）。"
                                  "通信が途中で書き換えられているおそれがあるため、ログインしません")
                       .arg(host);
    // The way out when the server really gave TLS up.
    if (!memoryFile.isEmpty())
        text += QStringLiteral("。サーバーが TLS をやめたのなら、%1 から「%2」の行（またはこのファイル）を消してください")
                    .arg(memoryFile, key);
    return text;
}

} // namespace qp::mailtext

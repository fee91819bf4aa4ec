#include "platform/Numbers.h"

#include <QByteArray>
#include <QDateTime>
#include <QRegularExpression>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace qp {

double leadingNumber(const QString& text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n && (text[i] == QLatin1Char(' ') || text[i] == QLatin1Char('\t')))
        ++i;
    QByteArray digits;
    if (i < n && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-')))
        digits += char(text[i++].unicode());
    bool any = false;
    while (i < n && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9')) {
        digits += char(text[i++].unicode());
        any = true;
    }
    if (i < n && text[i] == QLatin1Char('.')) {
        qsizetype j = i + 1;
        QByteArray frac = ".";
        bool fracDigits = false;
        while (j < n && text[j] >= QLatin1Char('0') && text[j] <= QLatin1Char('9')) {
            frac += char(text[j++].unicode());
            fracDigits = true;
        }
        if (fracDigits || any) {
            digits += frac;
            any = any || fracDigits;
            i = j;
        }
    }
    if (!any)
        return 0.0;
    if (i < n && (text[i] == QLatin1Char('e') || text[i] == QLatin1Char('E'))) {
        qsizetype j = i + 1;
        QByteArray exp = "e";
        if (j < n && (text[j] == QLatin1Char('+') || text[j] == QLatin1Char('-')))
            exp += char(text[j++].unicode());
        bool expDigits = false;
        while (j < n && text[j] >= QLatin1Char('0') && text[j] <= QLatin1Char('9') && exp.size() < 6) {
            exp += char(text[j++].unicode());
            expDigits = true;
        }
        if (expDigits)
            digits += exp;
    }
    const double v = std::strtod(digits.constData(), nullptr);
    return std::isfinite(v) ? v : 0.0;
}

double roundHalfEven(double value)
{
    if (!std::isfinite(value))
        return 0.0;
    return std::nearbyint(value); // the default rounding mode is to-nearest-even
}

double intervalMinutes(const QString& text)
{
    const double minutes = leadingNumber(text);
    if (!(minutes > 0))
        return minutes;
    return std::max(1.0, roundHalfEven(minutes));
}

std::int32_t leadingInt32(const QByteArray& bytes)
{
    qsizetype i = 0;
    while (i < bytes.size() && (bytes[i] == ' ' || bytes[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < bytes.size() && (bytes[i] == '-' || bytes[i] == '+'))
        negative = bytes[i++] == '-';
    std::int64_t value = 0;
    while (i < bytes.size() && bytes[i] >= '0' && bytes[i] <= '9') {
        value = value * 10 + (bytes[i++] - '0');
        if (value > std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1)
            value = std::int64_t(std::numeric_limits<std::int32_t>::max()) + 1;
    }
    if (negative)
        value = -value;
    if (value > std::numeric_limits<std::int32_t>::max())
        value = std::numeric_limits<std::int32_t>::max();
    if (value < std::numeric_limits<std::int32_t>::min())
        value = std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(value);
}

std::int16_t clampToInt16(double value)
{
    if (!std::isfinite(value))
        return 0;
    if (value > 32767)
        return 32767;
    if (value < -32768)
        return -32768;
    return static_cast<std::int16_t>(value);
}

QString generalDateText(const QDateTime& when, const QLocale& locale)
{
    struct Patterns {
        const char* locale;
        const char* shortDate;
        const char* longTime; // Windows "tt" written as Qt's "AP"
    };
    // The Windows defaults of these locales.
    static const Patterns kWindows[] = {
        {"ja_JP", "yyyy/MM/dd", "H:mm:ss"},
        {"en_US", "M/d/yyyy", "h:mm:ss AP"},
        {"C", "M/d/yyyy", "h:mm:ss AP"},
        {"en_GB", "dd/MM/yyyy", "HH:mm:ss"},
        {"de_DE", "dd.MM.yyyy", "HH:mm:ss"},
        {"fr_FR", "dd/MM/yyyy", "HH:mm:ss"},
        {"zh_CN", "yyyy/M/d", "H:mm:ss"},
        {"ko_KR", "yyyy-MM-dd", "AP h:mm:ss"},
    };
    const QString name = locale.name();
    QString date;
    QString time;
    for (const Patterns& p : kWindows) {
        if (name == QLatin1String(p.locale)) {
            date = QString::fromLatin1(p.shortDate);
            time = QString::fromLatin1(p.longTime);
            break;
        }
    }
    if (date.isEmpty()) {
        date = locale.dateFormat(QLocale::ShortFormat);
        if (!date.contains(QLatin1String("yyyy")))
            date.replace(QRegularExpression(QStringLiteral("y+")), QStringLiteral("yyyy"));
        time = locale.timeFormat(QLocale::LongFormat);
        time.remove(QRegularExpression(QStringLiteral("\\s*t+\\s*")));
        time = time.trimmed();
    }
    return locale.toString(when.date(), date) + QLatin1Char(' ') + locale.toString(when.time(), time);
}

} // namespace qp

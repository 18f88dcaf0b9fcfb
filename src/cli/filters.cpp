#include "cli/filters.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTimeZone>

namespace pw::cli {

namespace {

char32_t folded(char32_t c) {
    return QChar::toCaseFolded(c);
}

QList<char32_t> codePoints(const QString &text) {
    QList<char32_t> out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4())
        out.append(c);
    return out;
}

// Matches the bracket expression starting at p[i] ("[") against c. Answers
// the index after "]", or -1 when the "[" opens no complete set (it then
// stands for itself).
qsizetype matchSet(const QList<char32_t> &p, qsizetype i, char32_t c, bool &matched) {
    qsizetype j = i + 1;
    bool negate = false;
    if (j < p.size() && (p[j] == U'!' || p[j] == U'^')) {
        negate = true;
        ++j;
    }
    bool found = false;
    bool first = true;
    while (j < p.size() && (first || p[j] != U']')) {
        first = false;
        char32_t low = p[j];
        if (low == U'\\' && j + 1 < p.size())
            low = p[++j];
        ++j;
        char32_t high = low;
        if (j + 1 < p.size() && p[j] == U'-' && p[j + 1] != U']') {
            high = p[j + 1];
            if (high == U'\\' && j + 2 < p.size()) {
                high = p[j + 2];
                ++j;
            }
            j += 2;
        }
        const char32_t fc = folded(c);
        if ((c >= low && c <= high) || (fc >= folded(low) && fc <= folded(high)))
            found = true;
    }
    if (j >= p.size())
        return -1;
    matched = found != negate;
    return j + 1;
}

} // namespace

std::optional<qint64> parseDateBound(const QString &text, bool upper) {
    static const QRegularExpression form(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[Tt ](\\d{2}):(\\d{2})(?::(\\d{2})(?:[.,](\\d{1,9}))?)?)?\\s*(Z|z|[+-]\\d{2}(?::?\\d{2})?)?$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    const QDate date(m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt());
    if (!date.isValid())
        return std::nullopt;
    const bool hasTime = m.capturedLength(4) > 0;
    const bool hasSeconds = m.capturedLength(6) > 0;
    const bool hasFraction = m.capturedLength(7) > 0;
    int hour = 0, minute = 0, second = 0, milli = 0;
    if (hasTime) {
        hour = m.captured(4).toInt();
        minute = m.captured(5).toInt();
        second = hasSeconds ? m.captured(6).toInt() : 0;
        milli = hasFraction ? m.captured(7).left(3).leftJustified(3, QLatin1Char('0')).toInt() : 0;
    }
    const QTime time(hour, minute, second, milli);
    if (!time.isValid())
        return std::nullopt;
    qint64 offsetSeconds = 0;
    if (const QString zone = m.captured(8); !zone.isEmpty() && zone.compare(QLatin1String("z"), Qt::CaseInsensitive) != 0) {
        const QString digits = QString(zone.mid(1)).remove(QLatin1Char(':'));
        const int hours = digits.left(2).toInt();
        const int minutes = digits.size() > 2 ? digits.mid(2, 2).toInt() : 0;
        if (hours > 23 || minutes > 59)
            return std::nullopt;
        offsetSeconds = (hours * 3600 + minutes * 60) * (zone.startsWith(QLatin1Char('-')) ? -1 : 1);
    }
    qint64 ms = QDateTime(date, time, Qt::UTC).toMSecsSinceEpoch() - offsetSeconds * 1000;
    if (upper) {
        // The last millisecond of the day, minute or second named.
        const qint64 span = !hasTime ? 86400000 : !hasSeconds ? 60000 : !hasFraction ? 1000 : 1;
        ms += span - 1;
    }
    return ms;
}

std::optional<qint64> parseSize(const QString &text) {
    static const QRegularExpression form(QStringLiteral("^(\\d+(?:\\.\\d+)?)\\s*(?:([kKmMgGtT])(?:i?[bB])?|[bB])?$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double number = m.captured(1).toDouble(&ok);
    if (!ok)
        return std::nullopt;
    double factor = 1;
    switch (m.captured(2).isEmpty() ? 0 : m.captured(2).at(0).toLower().unicode()) {
    case 'k': factor = 1024.0; break;
    case 'm': factor = 1024.0 * 1024; break;
    case 'g': factor = 1024.0 * 1024 * 1024; break;
    case 't': factor = 1024.0 * 1024 * 1024 * 1024; break;
    default: break;
    }
    const double bytes = number * factor;
    if (bytes > 9.0e18)
        return std::nullopt;
    return static_cast<qint64>(bytes + 0.5);
}

bool globMatches(const QString &pattern, const QString &text) {
    const QList<char32_t> p = codePoints(pattern);
    const QList<char32_t> t = codePoints(text);
    qsizetype pi = 0, ti = 0;
    qsizetype starP = -1, starT = 0;
    while (ti < t.size()) {
        bool advanced = false;
        if (pi < p.size()) {
            const char32_t pc = p[pi];
            if (pc == U'*') {
                starP = pi++;
                starT = ti;
                continue;
            }
            if (pc == U'?') {
                ++pi;
                ++ti;
                advanced = true;
            } else if (pc == U'[') {
                bool matched = false;
                const qsizetype after = matchSet(p, pi, t[ti], matched);
                if (after < 0) {
                    if (folded(t[ti]) == folded(U'[')) {
                        ++pi;
                        ++ti;
                        advanced = true;
                    }
                } else if (matched) {
                    pi = after;
                    ++ti;
                    advanced = true;
                }
            } else {
                char32_t literal = pc;
                qsizetype width = 1;
                if (pc == U'\\' && pi + 1 < p.size()) {
                    literal = p[pi + 1];
                    width = 2;
                }
                if (folded(literal) == folded(t[ti])) {
                    pi += width;
                    ++ti;
                    advanced = true;
                }
            }
        }
        if (advanced)
            continue;
        if (starP < 0)
            return false;
        // Let the last "*" take one more character and try again.
        pi = starP + 1;
        ti = ++starT;
    }
    while (pi < p.size() && p[pi] == U'*')
        ++pi;
    return pi == p.size();
}

QString idFromListLine(const QString &line) {
    QString text = line;
    while (text.endsWith(QLatin1Char('\r')) || text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    if (text.trimmed().isEmpty())
        return QString();
    if (text.trimmed().startsWith(QLatin1Char('{'))) {
        const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8());
        if (document.isObject())
            return document.object().value(QLatin1String("id")).toString();
    }
    if (text.contains(QLatin1Char('\t')))
        return text.section(QLatin1Char('\t'), -1);
    return text.trimmed();
}

bool shownInline(const Attachment &attachment, const QString &html) {
    if (html.isEmpty())
        return false;
    static const QStringList pictureSuffixes = {
        QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("gif"),
        QStringLiteral("bmp"), QStringLiteral("webp"), QStringLiteral("tif"), QStringLiteral("tiff"),
        QStringLiteral("svg"), QStringLiteral("ico")};
    const bool picture = attachment.mimeType.startsWith(QLatin1String("image/"), Qt::CaseInsensitive)
        || (attachment.name.contains(QLatin1Char('.'))
            && pictureSuffixes.contains(attachment.name.section(QLatin1Char('.'), -1).toLower()));
    if (!picture)
        return false;
    // A reference ends where the attribute value does.
    const auto endsThere = [&](qsizetype at) {
        return at >= html.size() || QStringLiteral("\"' >)\r\n\t").contains(html.at(at));
    };
    const auto referred = [&](const QString &token, const QString &before) {
        if (token.isEmpty())
            return false;
        const QString needle = before + token;
        for (qsizetype at = html.indexOf(needle, 0, Qt::CaseInsensitive); at >= 0;
             at = html.indexOf(needle, at + 1, Qt::CaseInsensitive)) {
            if (endsThere(at + needle.size()))
                return true;
        }
        return false;
    };
    if (referred(attachment.contentId, QStringLiteral("cid:")))
        return true;
    for (const QString &before : {QStringLiteral("\""), QStringLiteral("'"), QStringLiteral("=")}) {
        if (referred(attachment.contentLocation, before))
            return true;
    }
    return false;
}

bool MessageChoice::accepts(const Message &message) const {
    if (byId && !ids.contains(message.id))
        return false;
    if (since || until) {
        if (!message.date.isValid())
            return false;
        const qint64 when = message.date.toMSecsSinceEpoch();
        if ((since && when < *since) || (until && when > *until))
            return false;
    }
    if (!from.isEmpty() && !message.sender.contains(from, Qt::CaseInsensitive))
        return false;
    if (!subject.isEmpty() && !message.subject.contains(subject, Qt::CaseInsensitive))
        return false;
    return true;
}

bool AttachmentChoice::acceptsName(const QString &name) const {
    if (!names.isEmpty()) {
        bool any = false;
        for (const QString &glob : names)
            any = any || globMatches(glob, name);
        if (!any)
            return false;
    }
    for (const QString &glob : excludes) {
        if (globMatches(glob, name))
            return false;
    }
    return true;
}

bool AttachmentChoice::acceptsSize(qint64 size) const {
    return (!minSize || size >= *minSize) && (!maxSize || size <= *maxSize);
}

} // namespace pw::cli

#include "platform/registry/environmentstrings.h"

#include "platform/registry/wineprefix.h"

#include <QProcessEnvironment>

#include <cstring>
#include <optional>

namespace pw {

namespace {

std::optional<QString> variable(const QString &name) {
    if (name.compare(QLatin1String("USERPROFILE"), Qt::CaseInsensitive) == 0) {
        const QString set = qEnvironmentVariable("USERPROFILE");
        return set.isEmpty() ? WinePrefix::profilePath() : set;
    }
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.contains(name))
        return environment.value(name);
    // Windows variable names ignore case.
    const QStringList keys = environment.keys();
    for (const QString &key : keys) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return environment.value(key);
    }
    return std::nullopt;
}

} // namespace

QString expandEnvironmentStrings(const QString &text) {
    QString result;
    qsizetype pos = 0;
    while (pos < text.size()) {
        const qsizetype open = text.indexOf(QLatin1Char('%'), pos);
        if (open < 0) {
            result += QStringView(text).sliced(pos);
            break;
        }
        result += QStringView(text).sliced(pos, open - pos);
        const qsizetype close = text.indexOf(QLatin1Char('%'), open + 1);
        if (close < 0) {
            result += QStringView(text).sliced(open);
            break;
        }
        const QString name = text.mid(open + 1, close - open - 1);
        const std::optional<QString> value = name.isEmpty() ? std::nullopt : variable(name);
        if (value) {
            result += *value;
            pos = close + 1;
        } else {
            // Left as written; the closing '%' may open the next reference.
            result += QStringView(text).sliced(open, close - open);
            pos = close;
        }
    }
    return result;
}

} // namespace pw

namespace pw::win {

DWORD ExpandEnvironmentStringsA(const char *lpSrc, char *lpDst, DWORD nSize) {
    if (!lpSrc)
        return 0;
    const QByteArray expanded = pw::expandEnvironmentStrings(QString::fromUtf8(lpSrc)).toUtf8();
    const DWORD needed = DWORD(expanded.size()) + 1;
    if (lpDst && nSize >= needed) {
        std::memcpy(lpDst, expanded.constData(), size_t(expanded.size()));
        lpDst[expanded.size()] = '\0';
    }
    return needed;
}

} // namespace pw::win

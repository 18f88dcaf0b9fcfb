#include "core/workstatus.h"

#include <QLocale>

namespace pw {

namespace {
// The program's texts are English; so are their numbers, whatever the
// locale the process runs in.
const QLocale &english() {
    static const QLocale locale(QLocale::English, QLocale::UnitedStates);
    return locale;
}
} // namespace

QString countText(qint64 count) {
    return english().toString(count);
}

QString countText(qint64 count, const char *singular, const char *plural) {
    return countText(count) + QLatin1Char(' ') + QLatin1String(count == 1 ? singular : plural);
}

QString sizeText(qint64 bytes) {
    if (bytes < 1024)
        return countText(bytes, "byte", "bytes");
    static const char *const units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    int unit = -1;
    while (value >= 1024.0 && unit < 3) {
        value /= 1024.0;
        ++unit;
    }
    // One decimal while it says something, none from 100 on.
    const int decimals = value < 100.0 ? 1 : 0;
    return english().toString(value, 'f', decimals) + QLatin1Char(' ') + QLatin1String(units[unit]);
}

QString durationText(qint64 ms) {
    if (ms < 100)
        return QStringLiteral("under 0.1 s");
    if (ms < 10000)
        return english().toString(static_cast<double>(ms) / 1000.0, 'f', 1) + QStringLiteral(" s");
    const qint64 seconds = (ms + 500) / 1000;
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" s");
    if (seconds < 3600)
        return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'));
}

QString savedText(const SaveTotals &totals, const QString &target) {
    QString text = QStringLiteral("Saved %1 (%2) to %3")
                       .arg(countText(totals.files, "attachment", "attachments"), sizeText(totals.bytes), target);
    if (totals.stopped)
        text = QStringLiteral("Stopped after %1: ").arg(countText(totals.messages, "message", "messages")) + text;
    text += QStringLiteral(" in %1.").arg(durationText(totals.ms));
    if (totals.kept > 0)
        text += QStringLiteral(" %1 kept as %2 (the files inside could not be unpacked).")
                    .arg(countText(totals.kept, "winmail.dat wrapper", "winmail.dat wrappers"),
                         QLatin1String(totals.kept == 1 ? "it is" : "they are"));
    if (totals.failed > 0)
        text += QStringLiteral(" %1 could not be saved.").arg(countText(totals.failed, "attachment", "attachments"));
    return text;
}

} // namespace pw

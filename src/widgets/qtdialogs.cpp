#include "widgets/qtdialogs.h"

#include "core/error.h"

#include <QApplication>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QSettings>
#include <QInputDialog>
#include <QMessageBox>
#include <QStandardPaths>
#include <QUrl>

namespace pw {

namespace {
QString titleOrApp(const QString &title) {
    return title.isEmpty() ? QStringLiteral("Parcelwise") : title;
}

// The pickers open where the user last chose something, kept beside the
// window sizes; a folder that has gone leaves the choice to the dialog.
const QString kFoldersKey = QStringLiteral("Windows/LastFolder");
const QString kFilesKey = QStringLiteral("Windows/LastFileFolder");

QString rememberedFolder(const QString &key) {
    const QString folder = QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillmark"),
                                     QStringLiteral("Parcelwise"))
                               .value(key)
                               .toString();
    return !folder.isEmpty() && QFileInfo(folder).isDir() ? folder : QString();
}

void rememberFolder(const QString &key, const QString &folder) {
    if (folder.isEmpty())
        return;
    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Quillmark"), QStringLiteral("Parcelwise"))
        .setValue(key, folder);
}
} // namespace

MsgResult QtDialogs::messageBox(const QString &text, MsgButtons buttons, MsgIcon icon,
                                const QString &title) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(titleOrApp(title));
    // The boxes' texts use CR LF and lone CRs as line breaks.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(shown);
    switch (icon) {
    case MsgIcon::None: box.setIcon(QMessageBox::NoIcon); break;
    case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
    case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case MsgIcon::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    }
    switch (buttons) {
    case MsgButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case MsgButtons::OkCancel: box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel); break;
    case MsgButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case MsgButtons::YesNoCancel:
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
        break;
    }
    switch (box.exec()) {
    case QMessageBox::Cancel: return MsgResult::Cancel;
    case QMessageBox::Yes: return MsgResult::Yes;
    case QMessageBox::No: return MsgResult::No;
    default: return buttons == MsgButtons::Ok ? MsgResult::Ok
                    : (buttons == MsgButtons::OkCancel ? MsgResult::Ok : MsgResult::Cancel);
    }
}

bool QtDialogs::errorBox(const QString &text, const QString &title, bool offerDontShowAgain) {
    if (!offerDontShowAgain) {
        messageBox(text, MsgButtons::Ok, MsgIcon::Exclamation, title);
        return false;
    }
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(titleOrApp(title));
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
    box.setText(shown);
    box.setIcon(QMessageBox::Warning);
    box.setStandardButtons(QMessageBox::Ok);
    auto *tick = new QCheckBox(QStringLiteral("Don't show again during this run"), &box);
    box.setCheckBox(tick);
    box.exec();
    return tick->isChecked();
}

QString QtDialogs::inputBox(const QString &prompt, const QString &title, const QString &defaultText) {
    bool ok = false;
    const QString text = QInputDialog::getText(QApplication::activeWindow(), titleOrApp(title), prompt,
                                               QLineEdit::Normal, defaultText, &ok);
    return ok ? text : QString();
}

QString QtDialogs::toQtFilter(const QString &classicFilter) {
    const QStringList parts = classicFilter.split(QLatin1Char('|'));
    QStringList filters;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString &label = parts[i];
        QString patterns = parts[i + 1];
        if (label.isEmpty() && patterns.isEmpty())
            continue;
        patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
        // A label that already shows its patterns is kept as it is.
        const int paren = label.indexOf(QLatin1Char('('));
        filters.append((paren >= 0 ? label.left(paren).trimmed() : label) + QStringLiteral(" (") + patterns
                       + QLatin1Char(')'));
    }
    return filters.join(QStringLiteral(";;"));
}

// The pickers belong to the window the user works in (they stay above it
// and centre on it) and open at the folder last chosen in one of them.
QStringList QtDialogs::openFiles(const QString &title, const QString &filter, bool multiple) {
    const QString qtFilter = toQtFilter(filter);
    const QString start = rememberedFolder(kFilesKey);
    QStringList chosen;
    if (multiple) {
        chosen = QFileDialog::getOpenFileNames(QApplication::activeWindow(), title, start, qtFilter);
    } else {
        const QString one = QFileDialog::getOpenFileName(QApplication::activeWindow(), title, start, qtFilter);
        if (!one.isEmpty())
            chosen = QStringList{one};
    }
    if (!chosen.isEmpty())
        rememberFolder(kFilesKey, QFileInfo(chosen.first()).absolutePath());
    return chosen;
}

QString QtDialogs::pickFolder(const QString &title) {
    const QString chosen = QFileDialog::getExistingDirectory(QApplication::activeWindow(), title,
                                                             rememberedFolder(kFoldersKey), QFileDialog::ShowDirsOnly);
    rememberFolder(kFoldersKey, chosen);
    return chosen;
}

void QtEventPump::processEvents() {
    QCoreApplication::processEvents();
}

bool DesktopUrlOpener::openUrl(const QString &url) {
    return QDesktopServices::openUrl(QUrl(url));
}

void StdRandomSource::seed(std::uint64_t value) {
    m_state = value ^ 0x9E3779B97F4A7C15ull;
}

double StdRandomSource::next() {
    // splitmix64: small, fast and good enough for a dice roll.
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * (1.0 / 9007199254740992.0);
}

QString SpecialFolderPath(int folderId) {
    if (folderId != 0)
        return {};
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desktop.isEmpty())
        return {};
    QString buffer = desktop + QChar(0);
    if (buffer.size() < 512)
        buffer += QString(512 - buffer.size(), QLatin1Char(' '));
    return buffer;
}

QString DesktopFolderPath() {
    const QString buffer = SpecialFolderPath(0);
    const int zero = buffer.lastIndexOf(QChar(0));
    if (zero < 0)
        throw Error(QStringLiteral("The desktop folder cannot be found"));
    return buffer.left(zero) + QLatin1Char('/');
}

} // namespace pw

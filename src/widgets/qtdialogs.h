#pragma once
#include "core/ports.h"

class QWidget;

namespace pw {

// The desktop's dialogs, through Qt.
class QtDialogs : public Dialogs {
public:
    MsgResult messageBox(const QString &text, MsgButtons buttons, MsgIcon icon,
                         const QString &title) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    QStringList openFiles(const QString &title, const QString &filter, bool multiple) override;
    QString pickFolder(const QString &title) override;
    bool errorBox(const QString &text, const QString &title, bool offerDontShowAgain) override;

    // "Label|*.a;*.b|Label 2|*.c|" -> "Label (*.a *.b);;Label 2 (*.c)"
    static QString toQtFilter(const QString &classicFilter);
};

class QtEventPump : public EventPump {
public:
    void processEvents() override;
};

class DesktopUrlOpener : public UrlOpener {
public:
    bool openUrl(const QString &url) override;
};

class StdRandomSource : public RandomSource {
public:
    void seed(std::uint64_t value) override;
    double next() override;

private:
    std::uint64_t m_state = 0x9E3779B97F4A7C15ull;
};

class SystemClock : public Clock {
public:
    QDateTime now() override { return QDateTime::currentDateTime(); }
};

// Shell special folders. Folder 0 is the desktop (the XDG desktop
// directory). The answer imitates the shell's buffer: the path, a zero
// character, then blanks up to 512 characters; empty text when the folder
// cannot be found.
QString SpecialFolderPath(int folderId);

// The user's desktop folder followed by "/". Throws when there is none.
QString DesktopFolderPath();

} // namespace pw

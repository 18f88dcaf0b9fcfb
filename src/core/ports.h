#pragma once
// Everything the program asks of the desktop goes through these small
// interfaces, so tests can put scripted stand-ins in their place.
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QList>
#include <optional>
#include <cstdint>

namespace pw {

enum class MsgIcon { None, Critical, Question, Exclamation, Information };
enum class MsgButtons { Ok, OkCancel, YesNo, YesNoCancel };
// What the user pressed.
enum class MsgResult { Ok, Cancel, Yes, No };

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // Modal message box. An empty title means the application's title.
    virtual MsgResult messageBox(const QString &text, MsgButtons buttons, MsgIcon icon,
                                 const QString &title) = 0;
    // Modal input box. Cancel answers empty text, as the user would expect
    // from a classic input box.
    virtual QString inputBox(const QString &prompt, const QString &title,
                             const QString &defaultText) = 0;
    // Open-file dialog; the filter is in the classic "Label|pattern|" form.
    // Empty list when cancelled.
    virtual QStringList openFiles(const QString &title, const QString &filter,
                                  bool multiple) = 0;
    // Folder picker. Empty text when cancelled, else the folder's path.
    virtual QString pickFolder(const QString &title) = 0;
    // The error box (OK, exclamation icon). With `offerDontShowAgain` it
    // carries a "Don't show again during this run" tick box; answers
    // whether the user ticked it. Desktops without a tick box show the
    // plain box, and the user is asked again next time.
    virtual bool errorBox(const QString &text, const QString &title, bool offerDontShowAgain) {
        (void)offerDontShowAgain;
        messageBox(text, MsgButtons::Ok, MsgIcon::Exclamation, title);
        return false;
    }
};

// "Let pending window events run".
class EventPump {
public:
    virtual ~EventPump() = default;
    virtual void processEvents() = 0;
};

struct ProcessInfo {
    qint64 pid = 0;
    QString imageName;
};

class ProcessTable {
public:
    virtual ~ProcessTable() = default;
    virtual QList<ProcessInfo> snapshot() = 0;
    // Sends the signal; false when the process could not be signalled.
    virtual bool signal(qint64 pid, int signalNumber) = 0;
    virtual bool isAlive(qint64 pid) = 0;
    virtual void sleepMs(int ms) = 0;
};

// A program started without waiting for it, or polled until it ends.
class Launcher {
public:
    virtual ~Launcher() = default;
    // Starts and returns at once; false when it could not be started.
    virtual bool startDetached(const QString &program, const QStringList &arguments) = 0;
    // Starts the program; returns a handle > 0, or a negative errno when
    // it could not be started.
    virtual qint64 start(const QString &program, const QStringList &arguments) = 0;
    // Polls a started program: true while it runs; otherwise fills exitCode.
    virtual bool running(qint64 handle, int *exitCode) = 0;
    // Ends a started program and returns once it has ended: it is asked to
    // end, and killed when it has not within a few seconds. Polling it
    // afterwards reports it ended. An unknown or ended handle is ignored.
    virtual void stop(qint64 handle) = 0;
};

class UrlOpener {
public:
    virtual ~UrlOpener() = default;
    virtual bool openUrl(const QString &url) = 0;
};

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual void seed(std::uint64_t value) = 0;
    // Uniform in [0, 1).
    virtual double next() = 0;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() = 0;
};

// The set of ports a window is given.
struct Ports {
    Dialogs *dialogs = nullptr;
    EventPump *events = nullptr;
    ProcessTable *processes = nullptr;
    Launcher *launcher = nullptr;
    UrlOpener *urls = nullptr;
    RandomSource *random = nullptr;
    Clock *clock = nullptr;
};

} // namespace pw

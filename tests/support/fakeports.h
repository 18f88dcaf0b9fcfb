#pragma once
// Scripted stand-ins for the desktop ports: a test queues what the user
// does and reads back what was shown.
#include "core/ports.h"

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>

namespace pw::test {

struct ShownBox {
    QString text;
    QString title;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    // An error box that carried the "Don't show again during this run" tick box.
    bool offeredDontShowAgain = false;
};

struct ShownInput {
    QString prompt;
    QString title;
    QString defaultText;
};

class FakeDialogs : public Dialogs {
public:
    MsgResult messageBox(const QString &text, MsgButtons buttons, MsgIcon icon,
                         const QString &title) override;
    QString inputBox(const QString &prompt, const QString &title, const QString &defaultText) override;
    QStringList openFiles(const QString &title, const QString &filter, bool multiple) override;
    QString pickFolder(const QString &title) override;
    bool errorBox(const QString &text, const QString &title, bool offerDontShowAgain) override;

    // Scripted answers, used in order; when none is queued the box answers
    // OK, the input box its default, the file dialog and folder picker cancel.
    std::deque<MsgResult> boxAnswers;
    std::deque<std::optional<QString>> inputAnswers; // nullopt: the user cancels
    std::deque<QStringList> fileAnswers;
    std::deque<QString> folderAnswers;
    // Whether the user ticks "Don't show again" in the error boxes that
    // offer it, in order; unticked when none is queued.
    std::deque<bool> dontShowAgainAnswers;
    // Runs while a box is shown (e.g. to click another button meanwhile).
    std::function<void(const ShownBox &)> onBox;

    QList<ShownBox> boxes;
    QList<ShownInput> inputs;
    QStringList fileDialogTitles;
    QStringList fileDialogFilters;
    QStringList folderTitles;

    // Boxes titled "Application Error".
    QList<ShownBox> errorBoxes() const;
};

class FakeEvents : public EventPump {
public:
    void processEvents() override;
    int calls = 0;
    std::function<void()> onProcess;
};

class FakeRandom : public RandomSource {
public:
    void seed(std::uint64_t value) override { seeds.append(value); }
    double next() override;
    std::deque<double> values;
    QList<std::uint64_t> seeds;
};

class FakeClock : public Clock {
public:
    QDateTime now() override { return current; }
    QDateTime current = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
};

class FakeUrlOpener : public UrlOpener {
public:
    bool openUrl(const QString &url) override {
        opened.append(url);
        return true;
    }
    QStringList opened;
};

class FakeLauncher : public Launcher {
public:
    bool startDetached(const QString &program, const QStringList &arguments) override;
    qint64 start(const QString &program, const QStringList &arguments) override;
    bool running(qint64 handle, int *exitCode) override;
    // Ends the program at once, with exit code -1.
    void stop(qint64 handle) override;

    struct Started {
        QString program;
        QStringList arguments;
    };
    QList<Started> detached;
    QList<Started> started;
    // Called for start(); returns exit code, or a negative errno for "could not start".
    std::function<int(const QString &, const QStringList &)> onStart;
    int pollsBeforeExit = 1;
    QList<qint64> stopped;
    // Handles of programs started and not yet seen to end.
    QList<qint64> runningHandles() const;

private:
    QMap<qint64, int> m_exitCodes;
    QMap<qint64, int> m_polls;
};

// Forgets every stored setting of the program (in the test's own home).
void clearSettings();

// All fakes together, with a Ports view of them.
struct FakePorts {
    FakeDialogs dialogs;
    FakeEvents events;
    FakeRandom random;
    FakeClock clock;
    FakeUrlOpener urls;
    FakeLauncher launcher;
    ProcessTable *processes = nullptr;
    Ports ports() {
        Ports p;
        p.dialogs = &dialogs;
        p.events = &events;
        p.random = &random;
        p.clock = &clock;
        p.urls = &urls;
        p.launcher = &launcher;
        p.processes = processes;
        return p;
    }
};

} // namespace pw::test

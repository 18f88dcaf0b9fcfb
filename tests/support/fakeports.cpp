#include "support/fakeports.h"

#include <QSettings>

namespace pw::test {

void clearSettings() {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, "Quillmark", "Parcelwise");
    s.clear();
    s.sync();
}

MsgResult FakeDialogs::messageBox(const QString &text, MsgButtons buttons, MsgIcon icon,
                                  const QString &title) {
    ShownBox box{text, title, icon, buttons};
    boxes.append(box);
    if (onBox)
        onBox(box);
    if (!boxAnswers.empty()) {
        const MsgResult r = boxAnswers.front();
        boxAnswers.pop_front();
        return r;
    }
    return MsgResult::Ok;
}

bool FakeDialogs::errorBox(const QString &text, const QString &title, bool offerDontShowAgain) {
    ShownBox box{text, title, MsgIcon::Exclamation, MsgButtons::Ok, offerDontShowAgain};
    boxes.append(box);
    if (onBox)
        onBox(box);
    if (!boxAnswers.empty())
        boxAnswers.pop_front();
    if (!offerDontShowAgain || dontShowAgainAnswers.empty())
        return false;
    const bool ticked = dontShowAgainAnswers.front();
    dontShowAgainAnswers.pop_front();
    return ticked;
}

QString FakeDialogs::inputBox(const QString &prompt, const QString &title, const QString &defaultText) {
    inputs.append(ShownInput{prompt, title, defaultText});
    if (!inputAnswers.empty()) {
        const std::optional<QString> a = inputAnswers.front();
        inputAnswers.pop_front();
        return a ? *a : QString();
    }
    return defaultText;
}

QStringList FakeDialogs::openFiles(const QString &title, const QString &filter, bool) {
    fileDialogTitles.append(title);
    fileDialogFilters.append(filter);
    if (fileAnswers.empty())
        return {};
    QStringList a = fileAnswers.front();
    fileAnswers.pop_front();
    return a;
}

QString FakeDialogs::pickFolder(const QString &title) {
    folderTitles.append(title);
    if (folderAnswers.empty())
        return {};
    QString a = folderAnswers.front();
    folderAnswers.pop_front();
    return a;
}

QList<ShownBox> FakeDialogs::errorBoxes() const {
    QList<ShownBox> out;
    for (const ShownBox &b : boxes)
        if (b.title == QLatin1String("Application Error"))
            out.append(b);
    return out;
}

void FakeEvents::processEvents() {
    ++calls;
    if (onProcess)
        onProcess();
}

double FakeRandom::next() {
    if (values.empty())
        return 0.5;
    const double v = values.front();
    values.pop_front();
    return v;
}

bool FakeLauncher::startDetached(const QString &program, const QStringList &arguments) {
    detached.append(Started{program, arguments});
    return true;
}

qint64 FakeLauncher::start(const QString &program, const QStringList &arguments) {
    started.append(Started{program, arguments});
    const int code = onStart ? onStart(program, arguments) : 0;
    if (code < 0)
        return code;
    const qint64 handle = started.size();
    m_exitCodes[handle] = code;
    m_polls[handle] = 0;
    return handle;
}

bool FakeLauncher::running(qint64 handle, int *exitCode) {
    if (!m_polls.contains(handle) || ++m_polls[handle] > pollsBeforeExit) {
        m_polls.remove(handle);
        if (exitCode)
            *exitCode = m_exitCodes.value(handle);
        return false;
    }
    return true;
}

void FakeLauncher::stop(qint64 handle) {
    stopped.append(handle);
    if (m_polls.remove(handle) > 0)
        m_exitCodes[handle] = -1;
}

QList<qint64> FakeLauncher::runningHandles() const {
    return m_polls.keys();
}

} // namespace pw::test

#pragma once
// The status line under a window's lists: how far long work has come, a
// Cancel button while it runs (Esc does the same), and at its end what it
// did, with a link that opens the folder it wrote to.
#include "core/workstatus.h"

#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QShortcut;

namespace pw {

class StatusLine : public QWidget, public WorkStatus {
    Q_OBJECT
public:
    // Esc in `window` cancels the work under way; it does nothing else
    // while work runs, and its usual meaning is kept otherwise.
    explicit StatusLine(QWidget &window);

    void started(const QString &text) override;
    void progress(const QString &text) override;
    void finished(const QString &text, const QString &folder = QString()) override;
    bool cancelRequested() const override { return m_cancelRequested; }

    // Asks the work under way to stop at its next message; nothing when idle.
    void requestCancel();
    bool working() const { return m_depth > 0; }
    QString text() const { return m_text; }
    // The folder offered by the last finished work, or empty text.
    QString folder() const { return m_folder; }
    QPushButton *cancelButton() const { return m_cancel; }
    QLabel *folderLink() const { return m_link; }
    // What the line shows at its present width: the text with its middle
    // left out where it does not fit, so the counts at its end stay seen.
    QString shownText() const;

    // Says `text` with a link `linkText` that runs `action`, until work starts.
    void offer(const QString &text, const QString &linkText, std::function<void()> action);

    // Opens a folder for the user; the window routes it through its URL port.
    std::function<void(const QString &folder)> openFolder;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void show(const QString &text);
    void elide();

    QLabel *m_label = nullptr;
    QLabel *m_link = nullptr;
    QPushButton *m_cancel = nullptr;
    QShortcut *m_escape = nullptr;
    QString m_text;
    QString m_folder;
    std::function<void()> m_offer;
    int m_depth = 0;
    bool m_cancelRequested = false;
};

} // namespace pw

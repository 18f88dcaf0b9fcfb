#pragma once
// Long work (a scan, a conversion, a download) tells the window's status
// line how far it has come, learns there whether the user asked it to
// stop, and says at its end what it did. The status line is not a box.
#include <QElapsedTimer>
#include <QString>

namespace pw {

class WorkStatus {
public:
    virtual ~WorkStatus() = default;
    // Work begins: `text` is shown and Cancel is offered.
    virtual void started(const QString &text) = 0;
    // How far the work has come; callers pace it (ProgressPace).
    virtual void progress(const QString &text) = 0;
    // The work has ended: what it did. `folder`, when given, is where its
    // results lie, offered to be opened.
    virtual void finished(const QString &text, const QString &folder = QString()) = 0;
    // The user asked the work under way to stop (Esc or Cancel).
    virtual bool cancelRequested() const = 0;
};

// Paces progress updates: due() answers true at most once per interval,
// and costs one clock read, so work may ask it once per item.
class ProgressPace {
public:
    explicit ProgressPace(int intervalMs = 250) : m_interval(intervalMs) { m_clock.start(); }
    bool due() {
        const qint64 now = m_clock.elapsed();
        if (now - m_last < m_interval)
            return false;
        m_last = now;
        return true;
    }
    qint64 elapsedMs() const { return m_clock.elapsed(); }

private:
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    int m_interval;
};

// "2,345"
QString countText(qint64 count);
// "1 attachment", "2,345 attachments"
QString countText(qint64 count, const char *singular, const char *plural);
// "512 bytes", "3.4 KB", "1.2 GB" (powers of 1,024)
QString sizeText(qint64 bytes);
// "under 0.1 s", "0.4 s", "12 s", "3 min 05 s", "1 h 02 min"
QString durationText(qint64 ms);

// What a run that saves attachments did, for the words at its end.
struct SaveTotals {
    qint64 messages = 0;  // messages done
    qint64 files = 0;     // files written
    qint64 bytes = 0;
    qint64 failed = 0;    // attachments that could not be saved
    qint64 kept = 0;      // winmail.dat wrappers saved as they are
    bool stopped = false; // stopped on request before the end
    qint64 ms = 0;
};
// "Saved 3 attachments (1.2 MB) to DIR in 0.4 s." with "Stopped after 2
// messages: " before it when stopped, and what could not be saved or was
// kept after it. The same words in the windows and on the command line.
QString savedText(const SaveTotals &totals, const QString &target);

} // namespace pw

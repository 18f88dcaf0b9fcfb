#pragma once
#include "core/error.h"
#include "core/ports.h"

#include <QString>
#include <exception>
#include <utility>

namespace pw {

// Text of the uniform error box, asking for a screenshot at the support
// address set when the program was built; without one it asks for nothing.
QString errorReportText(const QString &description, const QString &window,
                        const QString &operation, int line);
QString errorReportText(const QString &description, const QString &window,
                        const QString &operation, int line, const QString &supportAddress);

// Shows the uniform error box and returns when the user has pressed OK.
void ErrorReport(Dialogs &dialogs, const QString &description, const QString &window,
                 const QString &operation, int line);

// Runs the numbered steps of one user-facing operation. A step that throws
// is reported with its number and the operation carries on with the next
// step; it is never abandoned because of a failure.
//
// One run is a button's operation (its name ends in "_Click") together with
// every operation it calls (the scan driver, the folder walk); a button
// operation started inside another one (through the event pump) is a run
// of its own. When the same step fails again in a
// run, its box offers "Don't show again during this run"; once ticked,
// further failures of that step are only counted, and when the run ends one
// box says how many were not shown, with the last one's text.
//
//   Operation op(dialogs, "Form1", "PushButton9_Click");
//   op.step(100, [&] { ... });
//   if (op.test(102, [&] { return n > 0; })) { ... }   // a failing test runs its group
class Operation {
public:
    Operation(Dialogs &dialogs, QString window, QString name);
    // The outermost operation of a run shows the box of failures not shown.
    ~Operation();
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;

    template <class F> void step(int line, F &&action) {
        try {
            std::forward<F>(action)();
        } catch (...) {
            fail(line, std::current_exception());
        }
    }

    // A test that decides whether a group of steps runs: a failure reports
    // and answers true, so the group runs as if the test had passed.
    template <class F> bool test(int line, F &&predicate) {
        try {
            return static_cast<bool>(std::forward<F>(predicate)());
        } catch (...) {
            fail(line, std::current_exception());
            return true;
        }
    }

    // A step that yields a value; on failure, reports and gives `fallback`.
    template <class T, class F> T value(int line, F &&compute, T fallback) {
        try {
            return std::forward<F>(compute)();
        } catch (...) {
            fail(line, std::current_exception());
            return fallback;
        }
    }

    const QString &window() const { return m_window; }
    const QString &name() const { return m_name; }
    Dialogs &dialogs() const { return m_dialogs; }
    int failures() const { return m_failures; }

    void fail(int line, std::exception_ptr failure);

    struct Run;

private:
    Dialogs &m_dialogs;
    QString m_window;
    QString m_name;
    int m_failures = 0;
    Run *m_run = nullptr;
    Run *m_outerRun = nullptr; // the run under way when this one began
    bool m_ownsRun = false;
};

// Text of the box that ends a run in which failures went unshown: how many
// of each step, and the last one's report.
QString unshownFailuresText(qint64 count, const QString &lastReport);

class MessageListModel;

// The "Select All Items" / "Deselect All Items" buttons of both windows:
// the row count is read once (step 100), then each row is ticked or
// unticked (step 102, reported per row).
void TickAllRows(Dialogs &dialogs, MessageListModel &list, const QString &window, const QString &operation,
                 bool ticked);

} // namespace pw

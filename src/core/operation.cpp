#include "core/operation.h"

#include "core/messagelistmodel.h"
#include "core/workstatus.h"
#include "buildconfig.h"

#include <QHash>
#include <QList>

namespace pw {

QString describeException(std::exception_ptr failure) {
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const std::bad_alloc &) {
        return QStringLiteral("Out of memory");
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("Unknown failure");
}

QString errorReportText(const QString &description, const QString &window,
                        const QString &operation, int line, const QString &supportAddress) {
    QString text = description + QStringLiteral("\r\n") + QStringLiteral("in Parcelwise5/20/2014.") + window
                   + QLatin1Char('.') + operation + QLatin1Char(' ') + QStringLiteral("at line ")
                   + QString::number(line);
    if (!supportAddress.trimmed().isEmpty())
        text += QStringLiteral("\r\r") + QStringLiteral("Please email screenshot of this message to ")
                + supportAddress.trimmed();
    return text;
}

QString errorReportText(const QString &description, const QString &window,
                        const QString &operation, int line) {
    return errorReportText(description, window, operation, line, QStringLiteral(PARCELWISE_SUPPORT_EMAIL));
}

void ErrorReport(Dialogs &dialogs, const QString &description, const QString &window,
                 const QString &operation, int line) {
    dialogs.messageBox(errorReportText(description, window, operation, line), MsgButtons::Ok,
                       MsgIcon::Exclamation, QStringLiteral("Application Error"));
}

// The failures of one run, step by step. Everything runs on the window
// thread, so the run under way is a plain static.
struct Operation::Run {
    struct Step {
        int failures = 0;
        bool silenced = false;
        qint64 unshown = 0;
        QString lastReport;
    };
    QHash<QString, Step> steps;
    QStringList silencedOrder; // steps whose tick box was ticked, in order
};

namespace {
Operation::Run *g_currentRun = nullptr;
const QString kErrorTitle = QStringLiteral("Application Error");
} // namespace

Operation::Operation(Dialogs &dialogs, QString window, QString name)
    : m_dialogs(dialogs), m_window(std::move(window)), m_name(std::move(name)) {
    // Routines called by a button's operation belong to its run; another
    // button's operation, or a routine run on its own, starts one.
    if (g_currentRun && !m_name.endsWith(QLatin1String("_Click"))) {
        m_run = g_currentRun;
    } else {
        m_outerRun = g_currentRun;
        m_run = new Run;
        m_ownsRun = true;
        g_currentRun = m_run;
    }
}

Operation::~Operation() {
    if (!m_ownsRun)
        return;
    g_currentRun = m_outerRun;
    QStringList paragraphs;
    for (const QString &key : std::as_const(m_run->silencedOrder)) {
        const Run::Step &step = m_run->steps[key];
        if (step.unshown > 0)
            paragraphs.append(unshownFailuresText(step.unshown, step.lastReport));
    }
    delete m_run;
    if (paragraphs.isEmpty())
        return;
    try {
        m_dialogs.messageBox(paragraphs.join(QStringLiteral("\r\n\r\n")), MsgButtons::Ok, MsgIcon::Exclamation,
                             kErrorTitle);
    } catch (...) {
        // A box that cannot be shown must not end the program from a destructor.
    }
}

QString unshownFailuresText(qint64 count, const QString &lastReport) {
    const QString head = count == 1 ? QStringLiteral("1 more failure of this step was not shown. The last one:")
                                    : QStringLiteral("%1 more failures of this step were not shown. The last one:")
                                          .arg(countText(count));
    return head + QStringLiteral("\r\n\r\n") + lastReport;
}

void Operation::fail(int line, std::exception_ptr failure) {
    ++m_failures;
    const QString report = errorReportText(describeException(failure), m_window, m_name, line);
    const QString key = m_window + QLatin1Char('.') + m_name + QLatin1Char(':') + QString::number(line);
    Run::Step &step = m_run->steps[key];
    ++step.failures;
    if (step.silenced) {
        ++step.unshown;
        step.lastReport = report;
        return;
    }
    if (m_dialogs.errorBox(report, kErrorTitle, step.failures > 1)) {
        step.silenced = true;
        m_run->silencedOrder.append(key);
    }
}

void TickAllRows(Dialogs &dialogs, MessageListModel &list, const QString &window, const QString &operation,
                 bool ticked) {
    Operation op(dialogs, window, operation);
    const int rows = op.value(100, [&] { return list.count(); }, 0);
    for (int i = 0; i < rows; ++i)
        op.step(102, [&] { list.setChecked(i, ticked); });
}

} // namespace pw

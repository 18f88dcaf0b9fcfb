#include "app/core/operation.h"

#include "app/core/messagelistmodel.h"
#include "buildconfig.h"

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
                        const QString &operation, int line) {
    return description + QStringLiteral("\r\n") + QStringLiteral("in Parcelwise5/20/2014.") + window
           + QLatin1Char('.') + operation + QLatin1Char(' ') + QStringLiteral("at line ")
           + QString::number(line) + QStringLiteral("\r\r")
           + QStringLiteral("Please email screenshot of this message to ")
           + QStringLiteral(PARCELWISE_SUPPORT_EMAIL);
}

void ErrorReport(Dialogs &dialogs, const QString &description, const QString &window,
                 const QString &operation, int line) {
    dialogs.messageBox(errorReportText(description, window, operation, line), MsgButtons::Ok,
                       MsgIcon::Exclamation, QStringLiteral("Application Error"));
}

void Operation::fail(int line, std::exception_ptr failure) {
    ++m_failures;
    ErrorReport(m_dialogs, describeException(failure), m_window, m_name, line);
}

void TickAllRows(Dialogs &dialogs, MessageListModel &list, const QString &window, const QString &operation,
                 bool ticked) {
    Operation op(dialogs, window, operation);
    const int rows = op.value(100, [&] { return list.count(); }, 0);
    for (int i = 0; i < rows; ++i)
        op.step(102, [&] { list.setChecked(i, ticked); });
}

} // namespace pw

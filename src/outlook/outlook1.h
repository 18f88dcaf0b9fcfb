#pragma once
#include <QDateTime>
#include <QString>

namespace pw::Outlook1 {

// True when an Outlook application object can be created; never reports.
bool IsOutlookInstalled();

// A received time as the "Date" column shows it: the locale's short date,
// a space and the time with seconds; no time part at exactly midnight.
QString receivedTimeText(const QDateTime &when);

// The leading decimal number of a version text ("16.0.4266" -> 16), to the
// nearest whole number; throws pw::Error when there is none.
int majorVersion(const QString &version);

} // namespace pw::Outlook1

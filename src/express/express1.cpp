#include "express/express1.h"

namespace pw::Express1 {

QStringList StoreFolders;
QStringList FoundDbxFiles;

bool IsBlankName(const QString &name) {
    QString text = name;
    text.remove(QChar(0));
    // Only spaces are padding; any other character makes a real name.
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin) == QLatin1Char(' '))
        ++begin;
    while (end > begin && text.at(end - 1) == QLatin1Char(' '))
        --end;
    return begin == end;
}

} // namespace pw::Express1

#include "corpus.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>

namespace pw::pst::test {

QString corpusDir() {
    return QStringLiteral(PW_CORPUS_DIR);
}

QStringList pstSamples() {
    QDir dir(corpusDir() + QStringLiteral("/pst"));
    QStringList result;
    for (const QString &name : dir.entryList({QStringLiteral("*.pst")}, QDir::Files, QDir::Name))
        result.append(QStringLiteral("pst/") + name);
    return result;
}

QJsonObject manifest(const QString &sample) {
    QString name = sample;
    name.replace(QLatin1Char('/'), QLatin1String("__"));
    QFile file(corpusDir() + QStringLiteral("/expected/") + name + QStringLiteral(".json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

QString unpackOst(const QTemporaryDir &into) {
    const QString source = corpusDir() + QStringLiteral("/ost/pstextractortestpdf_outlook.com.ost.xz");
    const QString target = into.filePath(QStringLiteral("pstextractortestpdf_outlook.com.ost"));
    if (!QFile::exists(source))
        return {};
    QProcess xz;
    xz.setStandardOutputFile(target);
    xz.start(QStringLiteral("xz"), {QStringLiteral("-dc"), source});
    if (!xz.waitForFinished(120000) || xz.exitStatus() != QProcess::NormalExit || xz.exitCode() != 0)
        return {};
    return target;
}

} // namespace pw::pst::test

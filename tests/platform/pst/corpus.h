#pragma once
// Access to the sample mail files and their manifests for the engine tests.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace pw::pst::test {

QString corpusDir();
// The PST samples, sorted; empty when the corpus is absent.
QStringList pstSamples();
// Manifest of a sample given by its path inside the corpus ("pst/x.pst").
QJsonObject manifest(const QString &sample);
// The .ost unpacked into `into`; empty text when that fails.
QString unpackOst(const QTemporaryDir &into);

} // namespace pw::pst::test

#define PW_REQUIRE_CORPUS()                                                                    \
    do {                                                                                       \
        if (::pw::pst::test::pstSamples().isEmpty())                                           \
            GTEST_SKIP() << "sample corpus not found at " << PW_CORPUS_DIR;                    \
    } while (0)

// Finding the converter on an installed system: beside the program, in its
// libexec folder, then on PATH; a missing one is an error, never "nothing".
#include "express/converterlookup.h"

#include "core/error.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace pw;

namespace {

// A prefix laid out as an install would: bin/, libexec/parcelwise/, and a
// folder standing in for PATH.
class ConverterLookup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(root.isValid());
        for (const char *dir : {"bin", "libexec/parcelwise", "path1", "path2"})
            ASSERT_TRUE(QDir(root.path()).mkpath(QLatin1String(dir)));
    }
    QString at(const char *relative) const { return root.filePath(QLatin1String(relative)); }
    void put(const char *relative, bool executable = true) const {
        QFile f(at(relative));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("#!/bin/sh\n");
        f.close();
        QFile::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (executable)
            permissions |= QFileDevice::ExeOwner;
        f.setPermissions(permissions);
    }
    QString path() const { return at("path1") + QStringLiteral("::") + at("path2"); }

    QTemporaryDir root;
};

TEST_F(ConverterLookup, TheFirstPlaceHoldingAnExecutableWins) {
    struct Case {
        std::vector<const char *> present;
        std::vector<const char *> notExecutable;
        const char *expected;
    };
    const Case cases[] = {
        {{"bin/unfurl", "libexec/parcelwise/unfurl", "path1/unfurl"}, {}, "bin/unfurl"},
        {{"libexec/parcelwise/unfurl", "path1/unfurl"}, {}, "libexec/parcelwise/unfurl"},
        {{"path2/unfurl"}, {}, "path2/unfurl"},
        // A file that cannot be run is passed over.
        {{"path2/unfurl"}, {"bin/unfurl", "path1/unfurl"}, "path2/unfurl"},
    };
    for (const Case &c : cases) {
        for (const char *name : {"bin/unfurl", "libexec/parcelwise/unfurl", "path1/unfurl", "path2/unfurl"})
            QFile::remove(at(name));
        for (const char *name : c.present)
            put(name);
        for (const char *name : c.notExecutable)
            put(name, false);
        EXPECT_EQ(findConverter(at("bin"), path()), QDir::cleanPath(at(c.expected))) << c.expected;
    }
}

TEST_F(ConverterLookup, AFolderNamedLikeTheConverterIsNotIt) {
    ASSERT_TRUE(QDir(at("bin")).mkdir(QStringLiteral("unfurl")));
    put("path1/unfurl");
    EXPECT_EQ(findConverter(at("bin"), path()), at("path1/unfurl"));
}

TEST_F(ConverterLookup, NoneAnywhereIsAnErrorNamingThePlacesLookedIn) {
    try {
        findConverter(at("bin"), path());
        FAIL() << "a missing converter was not reported";
    } catch (const Error &e) {
        EXPECT_TRUE(e.text().contains(at("bin"))) << e.text().toStdString();
        EXPECT_TRUE(e.text().contains(at("libexec/parcelwise"))) << e.text().toStdString();
        EXPECT_TRUE(e.text().contains(QStringLiteral("PATH"))) << e.text().toStdString();
    }
}

TEST_F(ConverterLookup, EmptyPathEntriesAreNotTheCurrentFolder) {
    // An empty entry would make a converter in whatever folder the program
    // was started from run in place of ours.
    put("path1/unfurl");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(at("path1")));
    EXPECT_THROW(findConverter(at("bin"), QStringLiteral(":")), Error);
    QDir::setCurrent(before);
}

} // namespace

// The Outlook road end to end: the main window's buttons over the real
// mail-store engine and the sample stores.
#include "app/mainwindow.h"
#include "outlook/outlookroutines.h"
#include "platform/pst/pstengine.h"
#include "support/fakeports.h"

#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakePorts;

namespace {

const QString kCorpus = QStringLiteral(PW_CORPUS_DIR);

QJsonObject manifest(const QString &sample) {
    QFile f(kCorpus + QStringLiteral("/expected/pst__") + sample + QStringLiteral(".json"));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

bool isMail(const QString &messageClass) {
    return messageClass.isEmpty() || messageClass.compare("IPM.Note", Qt::CaseInsensitive) == 0
           || messageClass.startsWith("IPM.Note.", Qt::CaseInsensitive);
}

// The rows a scan must list, computed from the manifest: mail messages of
// every folder below the top level, children's rows before their parent's.
QList<QStringList> expectedRows(const QJsonObject &m) {
    QMap<QString, QJsonObject> byPath;
    QList<QStringList> paths;
    for (const QJsonValue &v : m.value("folders").toArray()) {
        const QJsonObject f = v.toObject();
        QStringList path;
        for (const QJsonValue &p : f.value("path").toArray())
            path.append(p.toString());
        byPath.insert(path.join('\x1f'), f);
        paths.append(path);
    }
    QList<QStringList> rows;
    std::function<void(const QStringList &)> walk = [&](const QStringList &path) {
        for (const QStringList &child : paths)
            if (child.size() == path.size() + 1 && child.mid(0, path.size()) == path)
                walk(child);
        if (path.isEmpty())
            return;
        for (const QJsonValue &mv : byPath.value(path.join('\x1f')).value("messages").toArray()) {
            const QJsonObject msg = mv.toObject();
            if (!isMail(msg.value("message_class").toString()))
                continue;
            const QString top = path.first();
            const QString holder = path.last();
            const QDateTime when = QDateTime::fromString(msg.value("delivery_time_utc").toString(), Qt::ISODate);
            const int n = msg.value("attachment_count").toInt();
            rows.append({m.value("store_name").toString(), top, holder != top ? holder : QString(),
                         Outlook1::receivedTimeText(when.toLocalTime()), msg.value("sender_name").toString(),
                         msg.value("sender_addrtype").toString() == "SMTP" ? msg.value("sender_email_address").toString()
                                                                            : QString(),
                         n > 0 ? QStringLiteral("Yes (%1)").arg(n) : QStringLiteral("No"),
                         msg.value("subject").toString(), msg.value("entry_id").toString()});
        }
    };
    walk({});
    return rows;
}

QList<QStringList> listedRows(MessageListModel &list) {
    QList<QStringList> rows;
    for (int r = 0; r < list.count(); ++r) {
        QStringList row;
        for (int c = 0; c < 9; ++c)
            row.append(list.text(r, c));
        rows.append(row);
    }
    return rows;
}

class OutlookRoad : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QDir(kCorpus + "/pst").exists())
            GTEST_SKIP() << "the sample corpus is not at " << kCorpus.toStdString();
        pw::test::clearSettings();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        form = std::make_unique<Form1>(fakes.ports());
        form->Form_Load();
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }
    void usePstSource(const QString &sample) {
        form->Option2->setChecked(true);
        form->Text2->setText(kCorpus + "/pst/" + sample);
    }

    FakePorts fakes;
    std::unique_ptr<Form1> form;
    outlook::ScopedCreator engine{[](const QString &) { return pst::createPstApplication(QStringList()); }};
};

} // namespace

TEST_F(OutlookRoad, PstSourceListsExactlyTheMailOfTheStore) {
    usePstSource("user1@test.lab.pst");
    form->PushButton1->click();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << fakes.dialogs.boxes.value(0).text.toStdString();
    const QList<QStringList> expected = expectedRows(manifest("user1@test.lab.pst"));
    ASSERT_EQ(expected.size(), 6);
    EXPECT_EQ(listedRows(form->listModel()), expected);

    form->PushButton4->click();
    EXPECT_EQ(form->listModel().count(), 2) << "only the two messages with attachments";
}

TEST_F(OutlookRoad, ProfileOfTwoStoresListsBothInOrder) {
    outlook::ScopedCreator profile([](const QString &) {
        return pst::createPstApplication({kCorpus + "/pst/outlook.pst", kCorpus + "/pst/user1@test.lab.pst"});
    });
    form->PushButton1->click();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
    QList<QStringList> expected = expectedRows(manifest("outlook.pst"));
    expected += expectedRows(manifest("user1@test.lab.pst"));
    EXPECT_EQ(listedRows(form->listModel()), expected);
}

TEST_F(OutlookRoad, DownloadAllFromAPstWritesEveryAttachmentByteForByte) {
    usePstSource("outlook.pst");
    form->PushButton1->click();
    ASSERT_EQ(form->listModel().count(), 2);
    form->Combo1->setCurrentText("All");
    QTemporaryDir out;
    fakes.dialogs.folderAnswers.push_back(out.path());
    form->PushButton3->click();
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty()) << fakes.dialogs.boxes.value(0).text.toStdString();

    // Each message carries the same eleven pictures: the second set is numbered.
    QMap<QString, QString> shaByName;
    for (const QJsonValue &fv : manifest("outlook.pst").value("folders").toArray())
        for (const QJsonValue &mv : fv.toObject().value("messages").toArray())
            for (const QJsonValue &av : mv.toObject().value("attachments").toArray()) {
                const QJsonObject a = av.toObject();
                const QString name = a.value("long_filename").toString();
                const QString numbered = name.section('.', 0, 0) + "_1." + name.section('.', 1);
                shaByName.insert(shaByName.contains(name) ? numbered : name, a.value("sha256").toString());
            }
    ASSERT_EQ(shaByName.size(), 22);
    QStringList names = shaByName.keys();
    names.sort();
    QStringList written = QDir(out.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    EXPECT_EQ(written, names);
    for (const QString &name : names) {
        QFile f(out.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << name.toStdString();
        EXPECT_EQ(QString::fromLatin1(QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex()),
                  shaByName.value(name))
            << name.toStdString();
    }

    // A second run writes 22 new numbered files and touches none of the first.
    const QByteArray before = [&] {
        QFile f(out.filePath("1.jpg"));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }();
    fakes.dialogs.folderAnswers.push_back(out.path());
    form->PushButton3->click();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files).size(), 44);
    QFile first(out.filePath("1.jpg"));
    ASSERT_TRUE(first.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll(), before);
}

// A newcomer's profile: no mail file at all gives the "not installed"
// message rather than an empty list; files that cannot be opened are named
// once per scan in one box, each with its cause, and the rest are listed.
TEST_F(OutlookRoad, AnEmptyProfileOrUnreadableFilesAreNeverASilentEmptyList) {
    QTemporaryDir profile;
    qputenv("PARCELWISE_PROFILE", profile.path().toUtf8());
    {
        outlook::ScopedCreator fromEnvironment([](const QString &) { return pst::createPstApplication(); });
        form->PushButton1->click();
    }
    qunsetenv("PARCELWISE_PROFILE");
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1);
    EXPECT_EQ(fakes.dialogs.boxes[0].text, QStringLiteral("MS Outlook does not appear to be installed on this computer."));

    const QString empty = profile.filePath("empty.pst"), notes = profile.filePath("notes.pst");
    QFile(empty).open(QIODevice::WriteOnly);
    QFile text(notes);
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write(QByteArray("These are not the mail files you are looking for.\n").repeated(20));
    text.close();
    outlook::ScopedCreator withBadFiles([&](const QString &) {
        return pst::createPstApplication({empty, kCorpus + "/pst/outlook.pst", notes});
    });
    fakes.dialogs.boxes.clear();
    form->PushButton1->click();
    EXPECT_EQ(listedRows(form->listModel()), expectedRows(manifest("outlook.pst")));
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1);
    const QString report = fakes.dialogs.boxes[0].text;
    EXPECT_TRUE(report.startsWith(QStringLiteral("These mail files of your profile could not be opened")));
    const QStringList lines = report.split(QStringLiteral("\r\n\r\n"));
    ASSERT_EQ(lines.size(), 3) << report.toStdString();
    EXPECT_TRUE(lines[1].contains(empty)) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].contains(QStringLiteral("not a PST or OST file"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].contains(notes)) << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains(QStringLiteral("not a PST or OST file"))) << lines[2].toStdString();
}

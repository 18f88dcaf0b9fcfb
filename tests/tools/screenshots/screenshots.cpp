// Takes the README's pictures of both windows after a real scan: the main
// window over the given stores, the Outlook Express window over a .dbx
// file written for the purpose and converted by unfurl. Each window is taken
// at its given size and again at 1280 x 800 ("-1280" in the file name).
//
//   parcelwise_screenshots <output folder> <store.pst ...>
//
// Runs on the offscreen platform; settings go to a throw-away folder.
#include "app/mainwindow.h"
#include "dbxfixture.h"
#include "express/window/expresswindow.h"
#include "platform/process/processlauncher.h"
#include "platform/pst/pstengine.h"
#include "widgets/qtdialogs.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeView>

#include <cstdio>
#include <deque>

using namespace pw;

namespace {

// Answers what the pictures need; any box would be a fault worth seeing.
struct ScriptedDialogs : Dialogs {
    MsgResult messageBox(const QString &text, MsgButtons, MsgIcon, const QString &) override {
        if (text != QLatin1String("Done."))
            std::fprintf(stderr, "box: %s\n", qPrintable(text));
        return MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &d) override { return d; }
    QStringList openFiles(const QString &, const QString &, bool) override {
        if (files.empty())
            return {};
        QStringList f = files.front();
        files.pop_front();
        return f;
    }
    QString pickFolder(const QString &) override { return {}; }
    std::deque<QStringList> files;
};

struct NoUrls : UrlOpener {
    bool openUrl(const QString &) override { return true; }
};

std::string mail(const std::string &from, const std::string &subject, const std::string &date,
                 const std::string &attachment) {
    return "From: " + from + "\r\nTo: Dana Lee <dana@example.org>\r\nSubject: " + subject + "\r\nDate: " + date
           + "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
             "Content-Type: text/plain\r\n\r\nPlease find it attached.\r\n--b1\r\n"
             "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=\""
           + attachment + "\"\r\nContent-Transfer-Encoding: base64\r\n\r\nSGVsbG8=\r\n--b1--\r\n";
}

bool save(QWidget &window, const QString &path);

// The window at the size it opens at, then at 1280 x 800.
bool saveBothSizes(QWidget &window, const QString &out, const QString &name) {
    bool ok = save(window, out + QLatin1Char('/') + name + QStringLiteral(".png"));
    window.resize(1280, 800);
    QCoreApplication::processEvents();
    ok = save(window, out + QLatin1Char('/') + name + QStringLiteral("-1280.png")) && ok;
    return ok;
}

bool save(QWidget &window, const QString &path) {
    window.repaint();
    QCoreApplication::processEvents();
    const bool ok = window.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "could not write", qPrintable(path));
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8() + "/config");
    qputenv("XDG_CACHE_HOME", home.path().toUtf8() + "/cache");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parcelwise"));
    QApplication::setOrganizationName(QStringLiteral("Quillmark"));
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: parcelwise_screenshots <output folder> <store.pst ...>\n");
        return 2;
    }
    const QString out = args.at(1);
    qputenv("PARCELWISE_PROFILE", args.mid(2).join(QLatin1Char(':')).toUtf8());
    pst::installPstEngine();

    ScriptedDialogs dialogs;
    QtEventPump events;
    ProcessLauncher launcher;
    NoUrls urls;
    StdRandomSource random;
    SystemClock clock;
    Ports ports;
    ports.dialogs = &dialogs;
    ports.events = &events;
    ports.launcher = &launcher;
    ports.urls = &urls;
    ports.random = &random;
    ports.clock = &clock;

    bool ok = true;
    {
        Form1 form1(ports);
        form1.Form_Load();
        form1.show();
        form1.PushButton1_Click();
        ok = saveBothSizes(form1, out, QStringLiteral("main-window")) && ok;
    }
    {
        QTemporaryDir work;
        const std::vector<unfurl::fixture::FixtureMessage> messages = [] {
            const char *const rows[][4] = {
                {"Ann Marsh <ann@example.org>", "Quarterly figures", "Tue, 5 Mar 2002 10:04:00 +0100", "figures-q1.xls"},
                {"Ben Ortiz <ben@example.org>", "Photos from the trip", "Fri, 8 Mar 2002 18:30:12 +0100", "harbour.jpg"},
                {"Carla Nunes <carla@example.org>", "Signed contract", "Mon, 11 Mar 2002 09:15:40 +0100", "contract.pdf"},
                {"Ann Marsh <ann@example.org>", "Minutes of the meeting", "Wed, 13 Mar 2002 16:02:05 +0100", "minutes.doc"},
            };
            std::vector<unfurl::fixture::FixtureMessage> list;
            uint32_t number = 1;
            for (const auto &row : rows) {
                unfurl::fixture::FixtureMessage m;
                m.number = number++;
                m.text = mail(row[0], row[1], row[2], row[3]);
                list.push_back(m);
            }
            return list;
        }();
        const QString mailFolder = work.path() + QStringLiteral("/drive_c/users/dana/Local Settings/Application Data/Identities/"
                                                                "{3B7A1C02-5D1E-4A7B-9F65-2C0D8E4B1A37}/Microsoft/Outlook Express");
        QDir().mkpath(mailFolder);
        QDir().mkpath(work.path() + QStringLiteral("/saved"));
        unfurl::fixture::writeDbx((mailFolder + QStringLiteral("/Inbox.dbx")).toStdString(), messages);
        unfurl::fixture::writeDbx((mailFolder + QStringLiteral("/Sent Items.dbx")).toStdString(),
                                  std::vector<unfurl::fixture::FixtureMessage>{});
        Form2 form2(ports);
        form2.workingFolder = work.path() + QStringLiteral("/eml");
        QDir().mkpath(form2.workingFolder);
        form2.Form_Load();
        form2.Text3->setText(work.path() + QStringLiteral("/saved/"));
        form2.show();
        dialogs.files.push_back({mailFolder + QStringLiteral("/Inbox.dbx"), mailFolder + QStringLiteral("/Sent Items.dbx")});
        form2.PushButton1_Click();
        form2.fileList().setChecked(0, true);
        form2.PushButton2_Click();
        form2.PushButton4_Click();
        form2.PushButton7_Click();
        ok = saveBothSizes(form2, out, QStringLiteral("express-window")) && ok;
    }
    return ok ? 0 : 1;
}

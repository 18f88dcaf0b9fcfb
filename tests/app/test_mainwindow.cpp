#include "app/mainwindow.h"
#include "core/settingsstore.h"
#include "widgets/statusline.h"
#include "fakeoutlook.h"
#include "support/fakeports.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QGroupBox>
#include <QHeaderView>
#include <QSet>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeView>
#include <gtest/gtest.h>

#include <csignal>

using namespace pw;
using pw::test::FakePorts;
using pw::test::clearSettings;

namespace {
QString stored(const char *key) {
    return SettingsStore::GetSetting(QLatin1String(key), QStringLiteral("<absent>"));
}
} // namespace

class Form1Test : public ::testing::Test {
protected:
    void SetUp() override { clearSettings(); }
    FakePorts fakes;
};

TEST_F(Form1Test, FirstStartShowsDefaultsAndTheEmptyNineColumnList) {
    Form1 form(fakes.ports());
    form.Form_Load();
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Parcelwise"));
    EXPECT_TRUE(form.Text1->text().isEmpty());
    EXPECT_TRUE(form.Text2->text().isEmpty());
    EXPECT_EQ(form.Combo1->currentText(), QStringLiteral("Checked Items"));
    EXPECT_TRUE(form.Option1->isChecked());
    EXPECT_FALSE(form.Option2->isChecked());
    EXPECT_EQ(form.listModel().count(), 0);
    EXPECT_EQ(form.listModel().headers(),
              (QStringList{"Root", "Folder", "Subfolder", "Date", "From/To", "Email", "Attachments", "Subject", "ID"}));
    EXPECT_EQ(form.listModel().columnWidthTwips(8), 1);
    EXPECT_EQ(form.ListView1->header()->sectionSize(8), 0) << "the ID column is never seen";
    ASSERT_EQ(form.Combo1->count(), 8);
    EXPECT_EQ(form.Combo1->itemText(7), QStringLiteral("User-specified Folder"));
    // The option handler fired during start-up and stored the pair.
    EXPECT_EQ(stored("Option1"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("False"));
}

TEST_F(Form1Test, ControlsCarryTheirCaptionsAndTwipPlacement) {
    Form1 form(fakes.ports());
    form.Form_Load();
    EXPECT_EQ(form.PushButton9->text(), QStringLiteral("Show Outlook Express Options"));
    EXPECT_EQ(form.PushButton4->text(), QStringLiteral("Get Only Emails With Attachments"));
    EXPECT_EQ(form.Frame2->title(), QStringLiteral("Download Option"));
    EXPECT_EQ(form.Option2->text(), QStringLiteral("PST File:"));
    EXPECT_EQ(form.PushButton8->parentWidget(), form.Frame1);
    EXPECT_EQ(form.PushButton3->geometry(), twipsRect(120, 8520, 7815, 405, &form));
    EXPECT_EQ(form.Text1->geometry(), twipsRect(240, 300, 5895, 345, &form));
    // The given client area, with the status line below it.
    EXPECT_EQ(form.width(), twipsToPixels(8040, &form));
    EXPECT_EQ(form.height(), twipsToPixels(9060, &form) + form.statusLine().height());
}

TEST_F(Form1Test, ChoicesAreRememberedKeystrokeByKeystrokeAndRestored) {
    {
        Form1 form(fakes.ports());
        form.Form_Load();
        form.Text2->setText("/home/u/mail.pst");
        form.Option2->setChecked(true);
        form.Combo1->setCurrentIndex(5);
        form.Text1->setText("invoice");
        form.Text1->setText("");
        EXPECT_FALSE(form.Option1->isChecked()) << "the options exclude each other";
    }
    EXPECT_EQ(stored("PST File"), QStringLiteral("/home/u/mail.pst"));
    EXPECT_EQ(stored("Combo1"), QStringLiteral("5"));
    EXPECT_EQ(stored("Text1"), QString()) << "clearing stores empty text";
    Form1 again(fakes.ports());
    again.Form_Load();
    EXPECT_EQ(again.Text2->text(), QStringLiteral("/home/u/mail.pst"));
    EXPECT_TRUE(again.Option2->isChecked());
    EXPECT_FALSE(again.Option1->isChecked());
    EXPECT_EQ(again.Combo1->currentIndex(), 5);
    EXPECT_TRUE(again.Text1->text().isEmpty());
}

TEST_F(Form1Test, StoredOptionPairInAnyCaseIsRestoredAndWrittenBackUnchanged) {
    SettingsStore::SaveSetting("Option1", "false");
    SettingsStore::SaveSetting("Option2", "TRUE");
    Form1 form(fakes.ports());
    form.Form_Load();
    EXPECT_FALSE(form.Option1->isChecked());
    EXPECT_TRUE(form.Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("True"));
}

TEST_F(Form1Test, UnreadableStoredValuesFallBackWithoutCrashing) {
    SettingsStore::SaveSetting("Combo1", "12");
    SettingsStore::SaveSetting("Option1", "perhaps");
    SettingsStore::SaveSetting("Option2", "0");
    Form1 form(fakes.ports());
    form.Form_Load();
    EXPECT_EQ(form.Combo1->currentIndex(), 0);
    EXPECT_TRUE(form.Option1->isChecked());
    // A stored pair with neither selected gives the window's default,
    // which is stored in its place.
    clearSettings();
    SettingsStore::SaveSetting("Option1", "False");
    SettingsStore::SaveSetting("Option2", "False");
    Form1 neither(fakes.ports());
    neither.Form_Load();
    EXPECT_TRUE(neither.Option1->isChecked());
    EXPECT_FALSE(neither.Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("False"));
}

TEST_F(Form1Test, ClickingTheSelectedOptionKeepsItSelected) {
    Form1 form(fakes.ports());
    form.Form_Load();
    form.Option1->click();
    EXPECT_TRUE(form.Option1->isChecked());
    EXPECT_FALSE(form.Option2->isChecked());
    form.Option2->click();
    form.Option2->click();
    EXPECT_FALSE(form.Option1->isChecked());
    EXPECT_TRUE(form.Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("False"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("True"));
    form.Option1->click();
    EXPECT_TRUE(form.Option1->isChecked());
    EXPECT_FALSE(form.Option2->isChecked());
    EXPECT_EQ(stored("Option1"), QStringLiteral("True"));
    EXPECT_EQ(stored("Option2"), QStringLiteral("False"));
}

TEST_F(Form1Test, HelpShowsItsFiveParagraphsThenWhereStoresAreLookedFor) {
    Form1 form(fakes.ports());
    form.PushButton7->click();
    ASSERT_EQ(fakes.dialogs.boxes.size(), 1);
    const auto &box = fakes.dialogs.boxes[0];
    EXPECT_EQ(box.icon, MsgIcon::None);
    EXPECT_EQ(box.buttons, MsgButtons::Ok);
    EXPECT_TRUE(box.title.isEmpty()) << "the application's title shows";
    const QStringList paragraphs = box.text.split(QStringLiteral("\r\n\r\n"));
    ASSERT_EQ(paragraphs.size(), 6);
    EXPECT_EQ(paragraphs[1], QStringLiteral("\"Allow access for x minutes Yes No Help\""));
    EXPECT_EQ(paragraphs[4], QStringLiteral("Outlook > Tools > Trust Center > Allow programmatic access"));
    EXPECT_EQ(paragraphs[5], Form1::storesHelpText());
}

TEST_F(Form1Test, HomePageOpensOnlyWhenTheDrawIsSeven) {
    Form1 form(fakes.ports());
    form.homePage = QStringLiteral("https://example.com/");
    fakes.random.values = {0.06, 0.0699999, 0.07, 0.999999, 0.0};
    EXPECT_EQ(form.OpenHomePageAtRandom(), 7);
    EXPECT_EQ(form.OpenHomePageAtRandom(), 7);
    EXPECT_EQ(form.OpenHomePageAtRandom(), 8);
    EXPECT_EQ(form.OpenHomePageAtRandom(), 100);
    EXPECT_EQ(form.OpenHomePageAtRandom(), 1);
    EXPECT_EQ(fakes.urls.opened.size(), 2);
    // Seeded from the time of day.
    EXPECT_EQ(fakes.random.seeds.last(), static_cast<std::uint64_t>(fakes.clock.current.time().msecsSinceStartOfDay()));
    // Start-up draws once.
    fakes.random.values = {0.065};
    form.Form_Load();
    EXPECT_EQ(fakes.urls.opened.size(), 3);
    // A build without a home page opens nothing, whatever the draw.
    form.homePage.clear();
    fakes.random.values = {0.065};
    EXPECT_EQ(form.OpenHomePageAtRandom(), 7);
    EXPECT_EQ(fakes.urls.opened.size(), 3);
}

TEST_F(Form1Test, HoverSetsHandOverButtonsDefaultOverFramesAndNeverReplacesBusy) {
    Form1 form(fakes.ports());
    form.Form_Load();
    form.windowPointer().pointerMovedOver(form.PushButton1);
    EXPECT_EQ(form.pointer(), PointerCustom);
    form.windowPointer().pointerMovedOver(form.Text2); // not in the table
    EXPECT_EQ(form.pointer(), PointerCustom);
    form.windowPointer().pointerMovedOver(form.Frame2);
    EXPECT_EQ(form.pointer(), PointerDefault);
    form.setPointer(PointerBusy);
    form.windowPointer().pointerMovedOver(form.PushButton3);
    form.windowPointer().pointerMovedOver(form.Frame1);
    EXPECT_EQ(form.pointer(), PointerBusy);
    // A real enter event goes through the same table.
    form.setPointer(PointerDefault);
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
    QCoreApplication::sendEvent(form.PushButton5, &enter);
    EXPECT_EQ(form.pointer(), PointerCustom);
}

TEST_F(Form1Test, SelectAndDeselectSetExactlyEveryTick) {
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton5->click(); // empty list: nothing happens
    EXPECT_EQ(form.listModel().checkedCount(), 0);
    for (int i = 0; i < 5; ++i)
        form.listModel().appendRow({QString::number(i)});
    form.listModel().setChecked(2, true);
    form.PushButton5->click();
    EXPECT_EQ(form.listModel().checkedCount(), 5);
    form.PushButton6->click();
    EXPECT_EQ(form.listModel().checkedCount(), 0);
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(Form1Test, OutlookExpressButtonReportsAFailureAtLine100) {
    Form1 form(fakes.ports());
    int shown = 0;
    form.showForm2 = [&] {
        ++shown;
        throw std::runtime_error("cannot open the window");
    };
    form.PushButton9->click();
    EXPECT_EQ(shown, 1);
    ASSERT_EQ(fakes.dialogs.errorBoxes().size(), 1);
    EXPECT_TRUE(fakes.dialogs.boxes[0].text.contains("in Parcelwise5/20/2014.Form1.PushButton9_Click at line 100"));
}

TEST_F(Form1Test, ClosingEndsOutlookProcessesThenTheProgram) {
    struct Table : ProcessTable {
        QList<ProcessInfo> snapshot() override {
            return {{100, "OUTLOOK.EXE"}, {101, "outlook.exe"}, {102, "bash"}, {103, "notoutlook.exe.1"}};
        }
        bool signal(qint64 pid, int sig) override {
            signalled.append({pid, sig});
            alive.remove(pid);
            return true;
        }
        bool isAlive(qint64 pid) override { return alive.contains(pid); }
        void sleepMs(int) override {}
        QList<QPair<qint64, int>> signalled;
        QSet<qint64> alive{100, 101, 102, 103};
    } table;
    fakes.processes = &table;
    Form1 form(fakes.ports());
    bool ended = false;
    form.endProgram = [&] { ended = true; };
    form.show();
    form.close();
    EXPECT_TRUE(ended);
    EXPECT_EQ(table.signalled, (QList<QPair<qint64, int>>{{100, SIGTERM}, {101, SIGTERM}}));
}

TEST_F(Form1Test, ClosingDuringAScanEndsTheScanAndTheProgramAtOnce) {
    auto world = outlook::fake::FakeOutlook::create();
    const auto installed = world->install();
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    for (int i = 0; i < 5; ++i)
        inbox.addMail().subject(QString::number(i));
    Form1 form(fakes.ports());
    form.Form_Load();
    int ended = 0;
    form.endProgram = [&] { ++ended; };
    form.show();
    int events = 0;
    fakes.events.onProcess = [&] {
        if (++events == 3) // the store, the folder, then the first message
            form.close();
    };
    form.PushButton1->click();
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(events, 3) << "the scan went on behind the closed window";
    EXPECT_LT(form.listModel().count(), 5);
    EXPECT_EQ(world->liveApplications(), 0) << "the store is still held";
    EXPECT_TRUE(fakes.dialogs.boxes.isEmpty());
}

TEST_F(Form1Test, StartDownloadingClickedDuringADownloadIsIgnored) {
    auto world = outlook::fake::FakeOutlook::create();
    const auto installed = world->install();
    auto &inbox = world->addStore("Mailbox").addFolder("Inbox");
    inbox.addMail().subject("a").addAttachment("broken.pdf", "x").fail("SaveAsFile", "Disk full");
    inbox.addMail().subject("b").attach("fine.pdf", "y");
    QTemporaryDir target;
    Form1 form(fakes.ports());
    form.Form_Load();
    form.PushButton1->click();
    ASSERT_EQ(form.listModel().count(), 2);
    form.Combo1->setCurrentIndex(1); // "All"
    fakes.dialogs.folderAnswers = {target.path(), target.path()};
    // The error box of the first attachment is up while the user clicks again.
    int clicks = 0;
    fakes.dialogs.onBox = [&](const test::ShownBox &) {
        ++clicks;
        form.PushButton3->click();
    };
    form.PushButton3->click();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(fakes.dialogs.folderTitles.size(), 1) << "a nested download asked for its folder";
    EXPECT_EQ(QDir(target.path()).entryList(QDir::Files), QStringList{"fine.pdf"});
    // Afterwards the button works again.
    fakes.dialogs.onBox = nullptr;
    form.PushButton3->click();
    EXPECT_EQ(fakes.dialogs.folderTitles.size(), 2);
}

#include "widgets/look.h"
#include "widgets/qtdialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <QFile>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QWidget>
#include <gtest/gtest.h>

using namespace pw;

TEST(Look, SkinFileOnlyTriggersTheColourStepAndOnlyWhenItIsAPlainFile) {
    QTemporaryDir app;
    QWidget window;
    auto *frame = new QGroupBox("Frame", &window);
    auto *option = new QRadioButton("Option", frame);
    auto *text = new QLineEdit(&window);
    EXPECT_FALSE(ApplySkin(window, app.path()));
    EXPECT_FALSE(frame->autoFillBackground());

    QDir(app.path()).mkpath("x/o.cjs"); // a folder of that name is no skin
    EXPECT_FALSE(ApplySkin(window, app.path()));
    QDir(app.path()).rmdir("x/o.cjs");
    QFile skin(skinFilePath(app.path()));
    ASSERT_TRUE(skin.open(QIODevice::WriteOnly));
    skin.close();
    EXPECT_TRUE(ApplySkin(window, app.path()));
    const QColor face = window.palette().color(QPalette::Button);
    EXPECT_EQ(frame->palette().color(QPalette::Window), face);
    EXPECT_EQ(option->palette().color(QPalette::Window), face);
    EXPECT_TRUE(frame->autoFillBackground());
    EXPECT_FALSE(text->autoFillBackground()) << "text boxes keep their colours";
}

TEST(Look, CentringAllowsNegativeEdgesForAWindowLargerThanTheScreen) {
    QWidget window;
    const QRect screen = window.screen()->geometry();
    window.resize(200, 100);
    CenterWindow(window);
    EXPECT_EQ(window.x(), screen.x() + (screen.width() - window.frameGeometry().width()) / 2);
    window.resize(screen.width() + 400, screen.height() + 200);
    CenterWindow(window);
    EXPECT_LT(window.x(), 0);
    EXPECT_LT(window.y(), 0);
}

TEST(Look, TwipsFollowTheLogicalDpi) {
    QWidget window;
    const qreal dpi = window.screen()->logicalDotsPerInch();
    EXPECT_EQ(twipsToPixels(1440, &window), qRound(dpi));
    EXPECT_EQ(twipsToPixels(1, &window), 0) << "the hidden ID column";
    EXPECT_EQ(twipsRect(0, 0, 2880, 720, &window).size(), QSize(qRound(2 * dpi), qRound(dpi / 2)));
}

TEST(DesktopFolder, IsTheDesktopWithOneSeparatorAndNothingOfTheBuffer) {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    const QString buffer = SpecialFolderPath(0);
    EXPECT_EQ(buffer.size(), 512);
    EXPECT_EQ(DesktopFolderPath(), desktop + "/");
    EXPECT_TRUE(SpecialFolderPath(5).isEmpty()) << "only the desktop is known";
}

TEST(ClassicFilter, BecomesQtFilter) {
    EXPECT_EQ(QtDialogs::toQtFilter("DBX Files (*.dbx)|*.dbx|"), QStringLiteral("DBX Files (*.dbx)"));
    EXPECT_EQ(QtDialogs::toQtFilter("All PST Files (*.pst;*.ost)|*.pst;*.ost|Any|*|"),
              QStringLiteral("All PST Files (*.pst *.ost);;Any (*)"));
}

// The pickers are owned by the window the user works in and open where the
// user last chose something, in this run or an earlier one.
TEST(QtPickers, BelongToTheActiveWindowAndOpenAtTheLastFolderChosen) {
    QTemporaryDir first, second;
    QWidget window;
    window.show();
    QApplication::setActiveWindow(&window);
    QtDialogs dialogs;
    struct Seen {
        QWidget *owner = nullptr;
        QString directory;
    };
    // Answers the next picker with `folder` (or cancels it), noting where it opened.
    auto answer = [](Seen &seen, const QString &folder) {
        QTimer::singleShot(0, [&seen, folder] {
            for (QWidget *w : QApplication::topLevelWidgets()) {
                auto *dialog = qobject_cast<QFileDialog *>(w);
                if (!dialog || !dialog->isVisible())
                    continue;
                seen.owner = dialog->parentWidget();
                seen.directory = dialog->directory().absolutePath();
                if (folder.isEmpty()) {
                    dialog->reject();
                } else {
                    dialog->setDirectory(folder);
                    dialog->selectFile(folder);
                    QMetaObject::invokeMethod(dialog, "accept");
                }
            }
        });
    };
    Seen one, two, three;
    answer(one, first.path());
    EXPECT_EQ(QDir(dialogs.pickFolder(QStringLiteral("Choose"))).absolutePath(), QDir(first.path()).absolutePath());
    EXPECT_EQ(one.owner, &window);
    answer(two, QString());
    EXPECT_TRUE(dialogs.pickFolder(QStringLiteral("Choose")).isEmpty());
    EXPECT_EQ(two.directory, QDir(first.path()).absolutePath()) << "opens at the folder chosen last";
    // A cancelled picker keeps the folder remembered before it.
    answer(three, QString());
    dialogs.pickFolder(QStringLiteral("Choose"));
    EXPECT_EQ(three.directory, QDir(first.path()).absolutePath());
}

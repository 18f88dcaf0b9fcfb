#include "app/core/operation.h"
#include "app/core/runguard.h"
#include "support/fakeports.h"

#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakeDialogs;

TEST(ErrorReportText, MatchesTheUniformLayout) {
    const QString text = errorReportText(QStringLiteral("Object required"), QStringLiteral("Form1"),
                                         QStringLiteral("PushButton9_Click"), 100);
    const QStringList parts = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(parts.size(), 2);
    EXPECT_EQ(parts[0], QStringLiteral("Object required"));
    EXPECT_TRUE(parts[1].startsWith(
        QStringLiteral("in Parcelwise5/20/2014.Form1.PushButton9_Click at line 100\r\r")));
    EXPECT_TRUE(parts[1].contains(QStringLiteral("\r\rPlease email screenshot of this message to ")));
    EXPECT_FALSE(parts[1].endsWith(QStringLiteral("to ")));
}

TEST(ErrorReport, IsAWarningBoxWithOkOnly) {
    FakeDialogs dialogs;
    ErrorReport(dialogs, QStringLiteral("boom"), QStringLiteral("Form1"), QStringLiteral("GetMailItems"), 104);
    ASSERT_EQ(dialogs.boxes.size(), 1);
    EXPECT_EQ(dialogs.boxes[0].title, QStringLiteral("Application Error"));
    EXPECT_EQ(dialogs.boxes[0].icon, MsgIcon::Exclamation);
    EXPECT_EQ(dialogs.boxes[0].buttons, MsgButtons::Ok);
    EXPECT_TRUE(dialogs.boxes[0].text.contains(QStringLiteral("in Parcelwise5/20/2014.Form1.GetMailItems at line 104")));
}

TEST(Operation, FailedStepIsReportedWithItsNumberAndTheNextStepRuns) {
    FakeDialogs dialogs;
    QList<int> ran;
    Operation op(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton1_Click"));
    op.step(114, [&] { ran.append(114); });
    op.step(116, [&] { throw Error("Outlook is not there"); });
    op.step(118, [&] { ran.append(118); });
    EXPECT_EQ(ran, (QList<int>{114, 118}));
    ASSERT_EQ(dialogs.boxes.size(), 1);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(QStringLiteral("Outlook is not there\r\n")));
    EXPECT_TRUE(dialogs.boxes[0].text.contains(
        QStringLiteral("in Parcelwise5/20/2014.Form1.PushButton1_Click at line 116")));
    EXPECT_EQ(op.failures(), 1);
}

TEST(Operation, FailingGuardRunsItsGroup) {
    FakeDialogs dialogs;
    Operation op(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
    bool groupRan = false;
    if (op.test(102, []() -> bool { throw std::runtime_error("cannot tell"); }))
        groupRan = true;
    EXPECT_TRUE(groupRan);
    ASSERT_EQ(dialogs.errorBoxes().size(), 1);
    EXPECT_TRUE(dialogs.boxes[0].text.contains(QStringLiteral("at line 102")));
    // A test that answers false without failing skips the group silently.
    EXPECT_FALSE(op.test(104, [] { return false; }));
    EXPECT_EQ(dialogs.boxes.size(), 1);
}

TEST(Operation, EachFailureGetsItsOwnBoxAndValuesFallBack) {
    FakeDialogs dialogs;
    Operation op(dialogs, QStringLiteral("Form2"), QStringLiteral("PushButton7_Click"));
    for (int i = 0; i < 3; ++i)
        op.step(120, [] { throw std::bad_alloc(); });
    EXPECT_EQ(dialogs.boxes.size(), 3);
    EXPECT_TRUE(dialogs.boxes[0].text.startsWith(QStringLiteral("Out of memory")));
    const int v = op.value(122, []() -> int { throw Error("x"); }, -1);
    EXPECT_EQ(v, -1);
    EXPECT_EQ(op.value(124, [] { return 5; }, -1), 5);
    EXPECT_EQ(op.failures(), 4);
}

TEST(RunGuard, RefusesANestedRunAndIsFreeAgainHoweverTheRunEnds) {
    RunGuard guard;
    int runs = 0;
    bool nestedRan = true;
    EXPECT_TRUE(guard.run([&] {
        ++runs;
        EXPECT_TRUE(guard.running());
        nestedRan = guard.run([&] { ++runs; });
    }));
    EXPECT_FALSE(nestedRan);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(guard.running());
    // A run that throws leaves the guard free for the next click.
    EXPECT_THROW(guard.run([] { throw Error("step failed"); }), Error);
    EXPECT_FALSE(guard.running());
    EXPECT_TRUE(guard.run([&] { ++runs; }));
    EXPECT_EQ(runs, 2);
}

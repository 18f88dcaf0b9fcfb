#include "core/operation.h"
#include "core/runguard.h"
#include "core/workstatus.h"
#include "support/fakeports.h"

#include <gtest/gtest.h>

using namespace pw;
using pw::test::FakeDialogs;

TEST(ErrorReportText, MatchesTheUniformLayout) {
    const QString text = errorReportText(QStringLiteral("Object required"), QStringLiteral("Form1"),
                                         QStringLiteral("PushButton9_Click"), 100, QStringLiteral("help@example.com"));
    EXPECT_EQ(text, QStringLiteral("Object required\r\nin Parcelwise5/20/2014.Form1.PushButton9_Click at line 100"
                                   "\r\rPlease email screenshot of this message to help@example.com"));
}

// A build without a support address must not ask the user to write to nobody
// (nor to a placeholder): the sentence is left out, the rest stays.
TEST(ErrorReportText, LeavesTheSupportSentenceOutWithoutAnAddress) {
    for (const QString &none : {QString(), QStringLiteral("  ")}) {
        const QString text = errorReportText(QStringLiteral("Object required"), QStringLiteral("Form1"),
                                             QStringLiteral("PushButton9_Click"), 100, none);
        EXPECT_EQ(text, QStringLiteral("Object required\r\nin Parcelwise5/20/2014.Form1.PushButton9_Click at line 100"));
    }
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

// A step that fails for every row: the second box offers "Don't show again
// during this run"; once ticked the rest are counted, and the run ends with
// one box that says how many were not shown and what the last one said.
TEST(RepeatedFailures, TickedStepIsCountedAndSummedUpOnceTheRunEnds) {
    FakeDialogs dialogs;
    dialogs.dontShowAgainAnswers = {true};
    {
        Operation op(dialogs, QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
        for (int row = 1; row <= 6; ++row)
            op.step(184, [&] { throw Error(QStringLiteral("The store of row %1 is not open").arg(row)); });
        op.step(186, [] { throw Error("another step"); });
        EXPECT_EQ(op.failures(), 7) << "hidden failures still count";
        ASSERT_EQ(dialogs.boxes.size(), 3) << "two boxes of step 184, one of step 186, none at the end yet";
        EXPECT_FALSE(dialogs.boxes[0].offeredDontShowAgain) << "a first failure is shown plainly";
        EXPECT_TRUE(dialogs.boxes[1].offeredDontShowAgain);
        EXPECT_FALSE(dialogs.boxes[2].offeredDontShowAgain) << "another step has a count of its own";
    }
    ASSERT_EQ(dialogs.boxes.size(), 4);
    const test::ShownBox &summary = dialogs.boxes.last();
    EXPECT_EQ(summary.title, QStringLiteral("Application Error"));
    EXPECT_TRUE(summary.text.startsWith(QStringLiteral("4 more failures of this step were not shown. The last one:")))
        << summary.text.toStdString();
    EXPECT_TRUE(summary.text.contains(QStringLiteral("The store of row 6 is not open\r\n")));
    EXPECT_TRUE(summary.text.contains(QStringLiteral("Form1.PushButton3_Click at line 184")));
}

TEST(RepeatedFailures, OneRunSpansTheOperationsItCallsAndEndsWithTheOutermost) {
    FakeDialogs dialogs;
    dialogs.dontShowAgainAnswers = {true};
    {
        Operation scan(dialogs, QStringLiteral("Form1"), QStringLiteral("getAllEmailOutlook"));
        // The folder walk is an operation of its own for every folder.
        for (int folder = 0; folder < 4; ++folder) {
            Operation walk(dialogs, QStringLiteral("Form1"), QStringLiteral("GetMailItems"));
            walk.step(124, [] { throw Error("Attachments cannot be read"); });
        }
        EXPECT_EQ(dialogs.boxes.size(), 2) << "the walk's own end shows nothing";
    }
    ASSERT_EQ(dialogs.boxes.size(), 3);
    EXPECT_TRUE(dialogs.boxes.last().text.startsWith(QStringLiteral("2 more failures")));

    // A button clicked inside another button's operation is a run of its
    // own: its failures are neither offered the tick box by the outer run's
    // count nor held back until the outer run ends.
    FakeDialogs nested;
    nested.dontShowAgainAnswers = {true, true};
    {
        Operation outer(nested, QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
        outer.step(188, [] { throw Error("Disk full"); });
        {
            Operation inner(nested, QStringLiteral("Form1"), QStringLiteral("PushButton3_Click"));
            for (int i = 0; i < 3; ++i)
                inner.step(188, [] { throw Error("Disk full"); });
        }
        ASSERT_EQ(nested.boxes.size(), 4) << "the inner run's summary shows as it ends";
        EXPECT_FALSE(nested.boxes[1].offeredDontShowAgain);
        EXPECT_TRUE(nested.boxes[3].text.startsWith(QStringLiteral("1 more failure of this step was not shown.")));
        outer.step(188, [] { throw Error("Disk full"); });
        EXPECT_TRUE(nested.boxes.last().offeredDontShowAgain) << "the outer run counts on after the inner one";
    }

    // An unticked box keeps every failure showing, and nothing is summed up.
    FakeDialogs plain;
    {
        Operation op(plain, QStringLiteral("Form2"), QStringLiteral("PushButton7_Click"));
        for (int i = 0; i < 3; ++i)
            op.step(148, [] { throw Error("Disk full"); });
    }
    EXPECT_EQ(plain.boxes.size(), 3);
    // The next run starts afresh: its first failure is shown plainly.
    {
        Operation op(dialogs, QStringLiteral("Form1"), QStringLiteral("GetMailItems"));
        op.step(124, [] { throw Error("Attachments cannot be read"); });
    }
    EXPECT_FALSE(dialogs.boxes.last().offeredDontShowAgain);
}

TEST(StatusTexts, CountsSizesAndDurationsReadAsPeopleWriteThem) {
    EXPECT_EQ(countText(2345), QStringLiteral("2,345"));
    EXPECT_EQ(countText(1, "attachment", "attachments"), QStringLiteral("1 attachment"));
    EXPECT_EQ(countText(0, "attachment", "attachments"), QStringLiteral("0 attachments"));
    EXPECT_EQ(sizeText(1023), QStringLiteral("1,023 bytes"));
    EXPECT_EQ(sizeText(1024), QStringLiteral("1.0 KB"));
    EXPECT_EQ(sizeText(qint64(1288490189)), QStringLiteral("1.2 GB"));
    EXPECT_EQ(sizeText(qint64(500) * 1024 * 1024), QStringLiteral("500 MB"));
    EXPECT_EQ(durationText(40), QStringLiteral("under 0.1 s"));
    EXPECT_EQ(durationText(3300), QStringLiteral("3.3 s"));
    EXPECT_EQ(durationText(125000), QStringLiteral("2 min 05 s"));
}

// The end of a save reads the same in the windows and on the command line.
TEST(StatusTexts, SavedSummaryCountsInWordsAndBinaryUnits) {
    SaveTotals one;
    one.messages = 1;
    one.files = 1;
    one.bytes = 1536;
    one.ms = 400;
    EXPECT_EQ(savedText(one, QStringLiteral("/out")), QStringLiteral("Saved 1 attachment (1.5 KB) to /out in 0.4 s."));
    SaveTotals many = one;
    many.messages = 2;
    many.files = 3;
    many.failed = 1;
    many.kept = 2;
    many.stopped = true;
    EXPECT_EQ(savedText(many, QStringLiteral("/out")),
              QStringLiteral("Stopped after 2 messages: Saved 3 attachments (1.5 KB) to /out in 0.4 s. 2 winmail.dat "
                             "wrappers kept as they are (the files inside could not be unpacked). 1 attachment could "
                             "not be saved."));
}

#include "core/messagelistmodel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <gtest/gtest.h>

using pw::MessageListModel;

TEST(MessageListModel, AppendedRowsReachViewsInOneBatch) {
    MessageListModel model;
    model.setColumns({"A", "B"}, {100, 1});
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    for (int i = 0; i < 1000; ++i)
        model.appendRow({QString::number(i)});
    // The data is there at once for the program; views learn of it in a batch.
    EXPECT_EQ(model.count(), 1000);
    EXPECT_EQ(model.text(999, 0), QStringLiteral("999"));
    EXPECT_EQ(model.rowCount(), 0);
    QElapsedTimer t;
    t.start();
    while (model.rowCount() == 0 && t.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(model.rowCount(), 1000);
    ASSERT_EQ(inserted.size(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 999);
}

TEST(MessageListModel, TicksClearAndRemovalStayConsistentWithPendingRows) {
    MessageListModel model;
    model.setColumns({"A"}, {});
    model.appendRow({"a"});
    model.showPendingRows();
    model.appendRow({"b"});
    model.setChecked(1, true); // not yet shown: no index for it, but the tick holds
    EXPECT_TRUE(model.isChecked(1));
    EXPECT_EQ(model.checkedCount(), 1);
    model.removeRowAt(0);
    EXPECT_EQ(model.count(), 1);
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), Qt::Checked);
    // Out-of-range reads are harmless for an operation outliving a nested change.
    EXPECT_EQ(model.text(5, 0), QString());
    EXPECT_FALSE(model.isChecked(-1));
    model.clear();
    EXPECT_EQ(model.rowCount(), 0);
    model.appendRow({"c"});
    model.showPendingRows();
    EXPECT_EQ(model.rowCount(), 1);
    EXPECT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
    EXPECT_TRUE(model.isChecked(0));
    EXPECT_TRUE(model.flags(model.index(0, 0)) & Qt::ItemIsUserCheckable);
}

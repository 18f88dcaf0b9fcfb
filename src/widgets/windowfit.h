#pragma once
// Windows that open at their given size and can be resized: each control
// is told what share of the extra width and height moves or widens it, so
// the lists take the room, full-width controls stretch and the rest keeps
// its place. The window's size and its lists' column widths are
// remembered between runs.
#include <QHash>
#include <QList>
#include <QSet>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QTimer>

class QTreeView;
class QWidget;

namespace pw {

class MessageListModel;
class StatusLine;

class WindowFit : public QObject {
    Q_OBJECT
public:
    // `name` keys what is remembered ("Form1"). The window's present size
    // is its smallest and its first.
    WindowFit(QWidget &window, const QString &name);

    // Shares of the extra width (dx: move, dw: widen) and height (dy, dh)
    // given to `control`, from its present placement.
    void place(QWidget *control, double dx, double dw, double dy = 0, double dh = 0);
    // A list whose column widths are remembered.
    void rememberColumns(QTreeView *list, const QString &name);

    // A status line below everything else, the window's full width; the
    // window grows by its height. Follows the bottom edge.
    StatusLine *addStatusLine();

    // Puts back the remembered size (or keeps the given one).
    void restore();
    // Puts back the remembered column widths, once the lists have their columns.
    void restoreColumns();
    // Writes the size and column widths; also done shortly after each change.
    void save();

    // Lays the controls out for the window's present size.
    void relayout();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    struct Placement {
        QWidget *control;
        QRect base;
        double dx, dw, dy, dh;
    };
    QWidget &m_window;
    QString m_name;
    QSize m_base;
    QList<Placement> m_placements;
    QHash<QString, QTreeView *> m_lists;
    QTimer m_saveSoon;
    bool m_restoring = false;
};

// Fits each column of `list` to its contents, between a floor and a
// ceiling, after a fill; a column given as one twip or less stays hidden.
// An empty list keeps its widths. A list with a ColumnPolicy then shares
// its width out by that policy, and a column the user sized keeps its size.
void fitColumns(QTreeView &list, MessageListModel &model);

// How a list's columns share its width: the text column (`stretch`) takes
// whatever room is spare, columns that can give way (`squeeze`, each with
// the narrowest it may get, in twips) narrow first when the list is too
// small, and `trailing` columns may lie beyond the list's right edge so
// that the others stay readable. Widths the user sets by hand are left as
// they are, through fills and resizes alike.
class ColumnPolicy : public QObject {
    Q_OBJECT
public:
    struct Squeeze {
        int column;
        int floorTwips;
    };
    ColumnPolicy(QTreeView &list, int stretch, QList<Squeeze> squeeze, QList<int> trailing = {});

    static ColumnPolicy *of(const QTreeView &list);

    // Fits the columns the user has not sized to their contents, then shares
    // the width out.
    void fit();
    // Shares the list's present width out, keeping the fitted widths.
    void share();

    bool userSized(int column) const { return m_userSized.contains(column); }
    // Marks a column as sized by the user (a remembered width).
    void setUserSized(int column) { m_userSized.insert(column); }

    // Runs `f`, whose column resizes are the program's, not the user's.
    template <typename F>
    void programmatically(F &&f) {
        const bool was = m_busy;
        m_busy = true;
        f();
        m_busy = was;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    int naturalWidth(int column) const;

    QTreeView &m_list;
    // The list's viewport, only compared with: while the list is being
    // destroyed its viewport still gets events, and the list may no longer
    // be asked for anything.
    const QObject *m_viewport;
    int m_stretch;
    QList<Squeeze> m_squeeze;
    QList<int> m_trailing;
    QHash<int, int> m_natural;
    QSet<int> m_userSized;
    bool m_busy = false;
};

} // namespace pw

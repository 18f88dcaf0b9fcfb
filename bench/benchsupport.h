#pragma once
// Small pieces the benchmarks share: a median, and a dialog port that
// answers every box with OK and remembers the last one (a timed run must
// show none).
#include "core/ports.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <vector>

namespace pw::bench {

inline double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct QuietDialogs : Dialogs {
    MsgResult messageBox(const QString &text, MsgButtons, MsgIcon, const QString &) override {
        ++boxes;
        last = text;
        return MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &d) override { return d; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return folder; }
    int boxes = 0;
    QString last;
    QString folder;
};

} // namespace pw::bench

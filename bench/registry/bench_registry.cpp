// Times the registry file parser on a generated file the size of a real
// prefix's system.reg, and a whole Outlook Express store search on a
// generated prefix (one open of user.reg per registry call).
#include "core/ports.h"
#include "express/storesearch.h"
#include "platform/registry/registryhive.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QByteArray generateHive(int keys) {
    QByteArray text = "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
    for (int i = 0; i < keys; ++i) {
        text += "[Software\\\\Classes\\\\CLSID\\\\{" + QByteArray::number(i, 16).rightJustified(8, '0')
                + "-0000-4000-8000-000000000000}\\\\InprocServer32] 1700000000\n#time=1da2b3c4d5e6f70\n";
        text += "@=\"C:\\\\windows\\\\system32\\\\component" + QByteArray::number(i) + ".dll\"\n";
        text += "\"ThreadingModel\"=\"Both\"\n\"Flags\"=dword:00000010\n";
        text += "\"Data\"=hex:01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n  18,19,1a\n\n";
    }
    return text;
}

class SilentDialogs : public pw::Dialogs {
public:
    pw::MsgResult messageBox(const QString &, pw::MsgButtons, pw::MsgIcon, const QString &) override {
        return pw::MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &d) override { return d; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return {}; }
};

template <typename F> double medianMs(int rounds, F f, double *first = nullptr) {
    std::vector<double> times;
    for (int r = 0; r < rounds; ++r) {
        QElapsedTimer timer;
        timer.start();
        f();
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    if (first)
        *first = times.front();
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int keys = argc > 1 ? std::max(1, atoi(argv[1])) : 20000;
    const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 9;

    const QByteArray hive = generateHive(keys);
    int parsedKeys = 0;
    const double parseMs = medianMs(rounds, [&] { parsedKeys = pw::RegistryHive::parse(hive).keyCount(); });
    std::printf("parse: %d keys, %.1f MB, median %.1f ms (%.0f MB/s)\n", parsedKeys, hive.size() / 1e6, parseMs,
                hive.size() / 1e6 / (parseMs / 1000));

    // A prefix with three identities and a user.reg padded to a tenth of the
    // machine hive, with ten .dbx files per store.
    QTemporaryDir prefix;
    qputenv("WINEPREFIX", prefix.path().toUtf8());
    qputenv("USER", "bench");
    qunsetenv("USERPROFILE");
    QDir().mkpath(prefix.path() + "/dosdevices");
    QFile::link("../drive_c", prefix.path() + "/dosdevices/c:");
    QByteArray user = generateHive(keys / 10);
    for (int i = 0; i < 3; ++i) {
        const QByteArray guid = "{0A1B2C3D-0000-4000-8000-00000000000" + QByteArray::number(i) + "}";
        user += "[Identities\\\\" + guid + "\\\\Software\\\\Microsoft\\\\Outlook Express\\\\5.0]\n\"Store Root\"=str(2):\"%UserProfile%\\\\Mail\\\\"
                + guid + "\"\n";
        const QString store = prefix.path() + "/drive_c/users/bench/Mail/" + QString::fromLatin1(guid);
        QDir().mkpath(store);
        for (int f = 0; f < 10; ++f) {
            QFile file(store + QStringLiteral("/Folder%1.dbx").arg(f));
            if (!file.open(QIODevice::WriteOnly))
                return 1;
        }
    }
    QFile reg(prefix.path() + "/user.reg");
    if (!reg.open(QIODevice::WriteOnly))
        return 1;
    reg.write(user);
    reg.close();

    SilentDialogs dialogs;
    double firstMs = 0;
    const double searchMs = medianMs(
        rounds,
        [&] {
            pw::Express1::FoundDbxFiles.clear();
            pw::Express1::FindStoreFiles(dialogs);
        },
        &firstMs);
    std::printf("store search: user.reg %.1f MB, %lld folders, %lld files, first %.1f ms, median %.1f ms\n",
                user.size() / 1e6, qlonglong(pw::Express1::StoreFolders.size()),
                qlonglong(pw::Express1::FoundDbxFiles.size()), firstMs, searchMs);
    return 0;
}

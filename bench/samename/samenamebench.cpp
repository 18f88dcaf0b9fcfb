// Saves 10,000 attachments that all carry one name (image001.jpg, as in a
// mailbox of signatures) and 10,000 of distinct names of the same length,
// alternating the two, on both roads:
//  - the .eml road: "Start Downloading" of the Outlook Express window over
//    10,000 generated .eml files, written with the real writer;
//  - the Outlook road: "Start Downloading" with "All" over a bare object
//    model whose SaveAsFile writes the way the store engine does (the shared
//    no-overwrite writer), so the figure is the download's own loop, naming
//    and writing, without reading a store.
// Goal: one name at most 1.5 times distinct names. Every attachment must be
// saved under a name of its own.
//
//   bench_samename [work folder]
#include "core/messagelistmodel.h"
#include "core/ports.h"
#include "download/emlsaveengine.h"
#include "download/outlookdownload.h"
#include "core/safefilewriter.h"
#include "outlook/outlookmodel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace pw;

namespace {

constexpr int kCopies = 10000;
constexpr int kRounds = 3;

class BenchDialogs : public Dialogs {
public:
    MsgResult messageBox(const QString &text, MsgButtons, MsgIcon, const QString &title) override {
        if (title == QLatin1String("Application Error") || text != QLatin1String("Done.")) {
            if (++failures == 1)
                std::fprintf(stderr, "first failure: %s\n", qPrintable(text));
        }
        return MsgResult::Ok;
    }
    QString inputBox(const QString &, const QString &, const QString &defaultText) override { return defaultText; }
    QStringList openFiles(const QString &, const QString &, bool) override { return {}; }
    QString pickFolder(const QString &) override { return folder; }
    QString folder;
    int failures = 0;
};

class NoEvents : public EventPump {
public:
    void processEvents() override {}
};

// Same length either way, so only the naming differs.
QString attachmentName(bool same, int i) {
    return same ? QStringLiteral("image001.jpg") : QStringLiteral("i%1.jpg").arg(i, 7, 10, QLatin1Char('0'));
}

QByteArray content(int i) {
    QByteArray bytes(2048, Qt::Uninitialized);
    for (int b = 0; b < bytes.size(); ++b)
        bytes[b] = char((b * 31 + i) & 0xFF);
    return bytes;
}

QByteArray emlMessage(int i, const QString &name) {
    const QByteArray encoded = content(i).toBase64();
    QByteArray wrapped;
    for (qsizetype p = 0; p < encoded.size(); p += 76)
        wrapped += encoded.mid(p, 76) + "\r\n";
    return "From: s@bench.example\r\nSubject: Message " + QByteArray::number(i)
           + "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"B\"\r\n\r\n--B\r\n"
             "Content-Type: text/plain\r\n\r\nSee attached.\r\n--B\r\nContent-Type: image/jpeg; name=\""
           + name.toUtf8() + "\"\r\nContent-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\n"
           + wrapped + "--B--\r\n";
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Outcome {
    double seconds = 0;
    int files = 0;
    int failures = 0;
};

int countFiles(const QString &folder) {
    return static_cast<int>(QDir(folder).entryList(QDir::Files | QDir::Hidden).size());
}

Outcome emlRoad(const QString &input, const QStringList &emlNames, const QString &out) {
    MessageListModel list;
    for (int i = 0; i < emlNames.size(); ++i)
        list.setChecked(list.appendRow(QStringList(8)), true);
    BenchDialogs dialogs;
    NoEvents events;
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QElapsedTimer timer;
    timer.start();
    saveEmlAttachments({dialogs, events, list, emlNames, input, [&] { return out; }, [](int) {}});
    Outcome o{timer.nsecsElapsed() / 1e9, countFiles(out), dialogs.failures};
    QDir(out).removeRecursively();
    return o;
}

// Just what the download uses: messages found by EntryID, each with one
// attachment that SaveAsFile writes like the engine.
namespace model {
using namespace pw::outlook;

struct Mail {
    QString name;
    QByteArray data;
};

class OneAttachment : public Attachment {
public:
    explicit OneAttachment(const Mail &mail) : m_mail(mail) {}
    QString fileName() override { return m_mail.name; }
    void SaveAsFile(const QString &path) override {
        SafeFileWriter out(path, QStringLiteral("the attachment"));
        out.write(m_mail.data.constData(), m_mail.data.size());
        out.commit();
    }

private:
    const Mail &m_mail;
};

class OneAttachmentList : public Attachments {
public:
    explicit OneAttachmentList(const Mail &mail) : m_mail(mail) {}
    int count() override { return 1; }
    AttachmentPtr Item(int) override { return std::make_shared<OneAttachment>(m_mail); }

private:
    const Mail &m_mail;
};

class MailItem : public pw::outlook::Item {
public:
    explicit MailItem(const Mail &mail) : m_mail(mail) {}
    int Class() override { return 43; }
    AttachmentsPtr Attachments() override { return std::make_shared<OneAttachmentList>(m_mail); }
    QString SenderName() override { return {}; }
    QString SenderEmailAddress() override { return {}; }
    QString SenderEmailType() override { return {}; }
    QDateTime ReceivedTime() override { return {}; }
    QString Subject() override { return {}; }
    QString Body() override { return {}; }
    QString EntryID() override { return {}; }

private:
    const Mail &m_mail;
};

class Store : public Namespace {
public:
    explicit Store(const QHash<QString, Mail> &mails) : m_mails(mails) {}
    FoldersPtr Folders() override { throw Error("not in this bench"); }
    void AddStore(const QString &) override {}
    void RemoveStore(const FolderPtr &) override {}
    ItemPtr GetItemFromID(const QString &entryId) override {
        const auto found = m_mails.constFind(entryId);
        if (found == m_mails.cend())
            throw Error("no such item");
        return std::make_shared<MailItem>(*found);
    }

private:
    const QHash<QString, Mail> &m_mails;
};

class App : public Application {
public:
    explicit App(const QHash<QString, Mail> &mails) : m_mails(mails) {}
    QString Version() override { return QStringLiteral("bench"); }
    NamespacePtr GetNamespace(const QString &) override { return std::make_shared<Store>(m_mails); }

private:
    const QHash<QString, Mail> &m_mails;
};
} // namespace model

Outcome outlookRoad(bool same, const QString &out) {
    QHash<QString, model::Mail> mails;
    MessageListModel list;
    for (int i = 0; i < kCopies; ++i) {
        const QString id = QStringLiteral("%1").arg(i, 8, 16, QLatin1Char('0'));
        mails.insert(id, {attachmentName(same, i), content(i)});
        QStringList texts(9);
        texts[1] = QStringLiteral("Inbox");
        texts[8] = id;
        list.appendRow(texts);
    }
    const outlook::ScopedCreator creator(
        [&](const QString &) -> outlook::ApplicationPtr { return std::make_shared<model::App>(mails); });
    BenchDialogs dialogs;
    dialogs.folder = out;
    DownloadControls controls;
    controls.choiceText = [] { return QStringLiteral("All"); };
    controls.setPointer = [](int) {};
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    QElapsedTimer timer;
    timer.start();
    OutlookDownload(dialogs, list, controls);
    Outcome o{timer.nsecsElapsed() / 1e9, countFiles(out), dialogs.failures};
    QDir(out).removeRecursively();
    return o;
}

bool report(const char *road, const std::vector<double> &same, const std::vector<double> &distinct) {
    const double ratio = median(same) / median(distinct);
    std::printf("%s: one name %.3f s, distinct names %.3f s (medians of %d) -> %.2f x (goal <= 1.5)\n", road,
                median(same), median(distinct), kRounds, ratio);
    return ratio <= 1.5;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QString root = (argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(BENCH_DEFAULT_DIR))
                         + QStringLiteral("/samename");
    QDir(root).removeRecursively();
    const QString out = root + QStringLiteral("/out");
    QStringList inputs[2];
    QStringList emlNames[2];
    for (int variant = 0; variant < 2; ++variant) {
        inputs[variant] = QStringList{root + (variant ? QStringLiteral("/same") : QStringLiteral("/distinct"))};
        if (!QDir().mkpath(inputs[variant][0])) {
            std::fprintf(stderr, "cannot create %s\n", qPrintable(root));
            return 1;
        }
        for (int i = 0; i < kCopies; ++i) {
            const QString name = QStringLiteral("%1.eml").arg(i, 5, 10, QLatin1Char('0'));
            QFile f(inputs[variant][0] + QLatin1Char('/') + name);
            if (!f.open(QIODevice::WriteOnly))
                return 1;
            f.write(emlMessage(i, attachmentName(variant == 1, i)));
            emlNames[variant].append(name);
        }
    }

    bool allSaved = true;
    std::vector<double> times[2][2]; // [road][variant]
    for (int round = 0; round < kRounds; ++round) {
        for (int variant = 0; variant < 2; ++variant) {
            const Outcome eml = emlRoad(inputs[variant][0], emlNames[variant], out);
            const Outcome outlook = outlookRoad(variant == 1, out);
            times[0][variant].push_back(eml.seconds);
            times[1][variant].push_back(outlook.seconds);
            for (const Outcome &o : {eml, outlook}) {
                if (o.files != kCopies || o.failures != 0) {
                    std::fprintf(stderr, "%s names: %d files saved, %d failures\n", variant ? "one" : "distinct",
                                 o.files, o.failures);
                    allSaved = false;
                }
            }
        }
    }
    const bool emlOk = report(".eml road    ", times[0][1], times[0][0]);
    const bool outlookOk = report("Outlook road ", times[1][1], times[1][0]);
    std::printf("every attachment saved under a name of its own: %s\n", allSaved ? "yes" : "NO");
    QDir(root).removeRecursively();
    return emlOk && outlookOk && allSaved ? 0 : 2;
}

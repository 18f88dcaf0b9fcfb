#include "cli/mailsources.h"
#include "cli/moresources.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "express/emllist.h"
#include "outlook/outlookroutines.h"
#include "platform/mime/mimemessage.h"
#include "platform/pst/pstengine.h"
#include "unfurl/converter.h"
#include "unfurl/dbxreader.h"
#include "unfurl/unfurlerror.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace pw::cli {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void addFolder(const QString &folder, bool recursive, QList<SourceFile> &out) {
    const QDir dir(folder);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            if (recursive && !entry.isSymLink())
                addFolder(entry.filePath(), recursive, out);
        } else if (const auto kind = kindOf(entry.fileName())) {
            out.append({entry.filePath(), *kind});
        }
    }
}

// "Thu, 11 Apr 1996 01:10:30 -0500 (EST)": the comment after the zone is
// not part of the date.
QDateTime parseMailDate(const QString &text) {
    static const QRegularExpression comment(QStringLiteral("\\s*\\([^)]*\\)\\s*$"));
    QString value = text.trimmed();
    value.remove(comment);
    QDateTime when = QDateTime::fromString(value, Qt::RFC2822Date);
    return when.isValid() ? when : QDateTime();
}

// Fields of a list line are one line each.
QString oneLine(QString text) {
    for (QChar &c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QLatin1Char('\t'))
            c = QLatin1Char(' ');
    }
    return text;
}

std::function<void(const QString &)> mimeWriter(const MimeAttachment &attachment, const std::function<bool()> &abandon) {
    return [attachment, abandon](const QString &target) {
        SafeFileWriter out(target, QStringLiteral("the attachment"));
        attachment.writeTo([&](const char *data, qint64 size) {
            if (abandon && abandon())
                throw WriteAbandoned();
            out.write(data, size);
        });
        out.commit();
    };
}

} // namespace

// One message read by the message reader from `readPath`, which for a
// .dbx message is its copy in memory.
void passMimeMessage(const QString &readPath, Message message, const selection::Filter &filter,
                     const ReadCallbacks &callbacks) {
    auto mime = std::make_shared<MimeMessage>();
    mime->load(readPath);
    const QStringList headers = Express1::ReadHeaderValues(
        readPath, {QStringLiteral("From"), QStringLiteral("Subject"), QStringLiteral("Date")});
    message.sender = oneLine(headers.value(0));
    message.subject = oneLine(headers.value(1));
    message.date = parseMailDate(headers.value(2));
    message.attachmentCount = mime->attachmentCount();
    if (filter.withAttachmentsOnly && message.attachmentCount == 0)
        return;
    if (filter.folderMode && !selection::matchesFolderName(filter.folderName, message.folder, message.subfolder))
        return;
    if (filter.searchMode) {
        const QString dateText =
            message.date.isValid() ? Outlook1::receivedTimeText(message.date.toLocalTime()) : headers.value(2);
        if (!selection::matchesSearchText(filter.searchText, {mime->bodyText(), headers.value(0), dateText}))
            return;
    }
    const std::function<bool()> abandon = callbacks.abandonWrite;
    message.attachments = [mime, abandon] {
        QList<Attachment> out;
        for (const MimeAttachment &a : mime->attachments())
            out.append({a.fileName(), a.contentType(), a.contentId(), a.contentLocation(), mimeWriter(a, abandon)});
        return out;
    };
    message.htmlBody = [mime] { return mime->htmlText(); };
    callbacks.onMessage(message);
}

namespace {

// A file descriptor that is closed when the holder goes.
struct OwnedFd {
    int fd = -1;
    ~OwnedFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::optional<SourceKind> kindOf(const QString &path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pst") || suffix == QLatin1String("ost"))
        return SourceKind::Store;
    if (suffix == QLatin1String("dbx"))
        return SourceKind::Dbx;
    if (suffix == QLatin1String("eml"))
        return SourceKind::Eml;
    return namedKindOf(path);
}

QList<SourceFile> expandSources(const QStringList &arguments, bool recursive,
                                const std::function<void(const QString &, const QString &)> &onProblem) {
    QList<SourceFile> found;
    for (const QString &argument : arguments) {
        const QFileInfo info(argument);
        if (argument == QLatin1String("-")) {
            found.append({argument, SourceKind::Stdin});
        } else if (info.isDir()) {
            addFolder(argument, recursive, found);
        } else if (!info.exists()) {
            onProblem(argument, systemError(ENOENT));
        } else if (const auto kind = kindOf(argument)) {
            found.append({argument, *kind});
        } else if (const auto sniffed = contentKindOf(argument)) {
            found.append({argument, *sniffed});
        } else {
            onProblem(argument, QStringLiteral("not a .pst, .ost, .dbx, .eml, mbox or winmail.dat file"));
        }
    }
    // A file named twice (or reached through two folders) is read once.
    QSet<QString> seen;
    QList<SourceFile> unique;
    for (const SourceFile &file : found) {
        const QString key = QFileInfo(file.path).canonicalFilePath();
        if (file.kind == SourceKind::Stdin || !seen.contains(key)) {
            seen.insert(key);
            unique.append(file);
        }
    }
    return unique;
}

struct StoreSession::Private {
    outlook::ApplicationPtr app;
    outlook::NamespacePtr ns;
};

StoreSession::StoreSession() : d(std::make_unique<Private>()) {}
StoreSession::~StoreSession() = default;

void StoreSession::read(const QString &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    if (!d->ns) {
        d->app = pst::createPstApplication(QStringList());
        d->ns = d->app->GetNamespace(QStringLiteral("MAPI"));
    }
    const outlook::FolderPtr root = Outlook1::addStoreFile(d->ns, path);
    const auto onFound = [&](const selection::Found &found) {
        Message message;
        message.source = path;
        message.folderPath = oneLine(found.path.join(QLatin1Char('/')));
        message.folderNames = found.path;
        message.folder = found.topFolder;
        message.subfolder = selection::subfolderText(found.holder, found.topFolder);
        message.attachmentCount = found.attachmentCount;
        try {
            message.id = found.item->EntryID();
            if (callbacks.details) {
                const QDateTime when = found.item->ReceivedTime();
                // Outlook's "no date" is 1 January 4501.
                if (when.date().year() < 4501)
                    message.date = when;
                message.sender = oneLine(found.item->SenderName());
                message.subject = oneLine(found.item->Subject());
            }
        } catch (const std::exception &e) {
            callbacks.onFailure(message.folderPath, QString::fromUtf8(e.what()));
            return;
        }
        const outlook::ItemPtr item = found.item;
        message.attachments = [item] {
            QList<Attachment> out;
            const outlook::AttachmentsPtr all = item->Attachments();
            const int count = all->count();
            for (int i = 1; i <= count; ++i) {
                const outlook::AttachmentPtr attachment = all->Item(i);
                out.append({attachment->fileName(), QString(), attachment->contentId(), QString(),
                            [attachment](const QString &target) { attachment->SaveAsFile(target); }});
            }
            return out;
        };
        message.htmlBody = [item] { return item->HTMLBody(); };
        callbacks.onMessage(message);
    };
    selection::StoreWalk(filter, onFound, callbacks.onFailure, callbacks.stop).walk(root);
}

void readEml(const QString &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    Message message;
    message.source = path;
    message.id = QFileInfo(path).fileName();
    passMimeMessage(path, std::move(message), filter, callbacks);
}

void readDbx(const QString &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    const std::string nativePath = QFile::encodeName(path).toStdString();
    const auto problems = [&](unfurl::Severity severity, const std::string &text) {
        if (severity == unfurl::Severity::Error)
            callbacks.onFailure(QString(), QString::fromStdString(text));
    };
    std::optional<unfurl::DbxReader> reader;
    try {
        reader.emplace(nativePath, problems);
    } catch (const std::exception &e) {
        // The reader's text names the file itself.
        QString why = QString::fromStdString(e.what());
        if (why.startsWith(QString::fromStdString(nativePath) + QStringLiteral(": ")))
            why.remove(0, static_cast<qsizetype>(nativePath.size()) + 2);
        throw Error(why);
    }
    const QString folder = QString::fromStdString(unfurl::Converter::baseNameOf(nativePath));
    reader->walk([&](uint32_t address) {
        if (callbacks.stop && callbacks.stop())
            throw WriteAbandoned();
        const QString where = QStringLiteral("record %1").arg(QString::fromStdString(unfurl::hexAddress(address)));
        try {
            const unfurl::MessageRecord record = reader->readRecord(address);
            if (!record.firstBlock || *record.firstBlock == 0)
                return; // headers only: no message text is stored
            // The message goes to the reader from memory: nothing is
            // written to disk, and nothing is left when the run ends.
            OwnedFd copy;
            copy.fd = ::memfd_create("dbx-message", MFD_CLOEXEC);
            if (copy.fd < 0)
                throw Error(QStringLiteral("cannot hold the message in memory: %1").arg(systemError(errno)));
            reader->readText(*record.firstBlock, [&](const char *data, size_t length) {
                while (length > 0) {
                    const ssize_t n = ::write(copy.fd, data, length);
                    if (n < 0 && errno == EINTR)
                        continue;
                    if (n <= 0)
                        throw Error(QStringLiteral("cannot hold the message in memory: %1").arg(systemError(errno)));
                    data += n;
                    length -= static_cast<size_t>(n);
                }
            });
            Message message;
            message.source = path;
            message.folderPath = folder;
            message.folder = folder;
            message.folderNames = QStringList{folder};
            message.id = record.number ? QString::number(*record.number) : where;
            passMimeMessage(QStringLiteral("/proc/self/fd/%1").arg(copy.fd), std::move(message), filter, callbacks);
        } catch (const unfurl::DamageError &e) {
            callbacks.onFailure(where, QString::fromStdString(e.what()));
        } catch (const Error &e) {
            callbacks.onFailure(where, e.text());
        }
    });
}

} // namespace pw::cli

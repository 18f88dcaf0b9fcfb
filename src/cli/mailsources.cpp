#include "cli/mailsources.h"
#include "cli/moresources.h"

#include "cli/nativepath.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "outlook/outlookroutines.h"
#include "platform/mime/mimemessage.h"
#include "platform/pst/pstengine.h"
#include "unfurl/converter.h"
#include "unfurl/dbxreader.h"
#include "unfurl/unfurlerror.h"

#include <QSet>

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

namespace pw::cli {

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// A file descriptor that is closed when the holder goes.
struct OwnedFd {
    int fd = -1;
    OwnedFd() = default;
    explicit OwnedFd(int adopted) : fd(adopted) {}
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

QByteArray childPath(const QByteArray &folder, const QByteArray &name) {
    return folder.endsWith('/') ? folder + name : folder + '/' + name;
}

void addFolder(const QByteArray &folder, bool recursive, QList<SourceFile> &out,
               const std::function<void(const QByteArray &, const QString &)> &onProblem) {
    DIR *dir = ::opendir(folder.constData());
    if (!dir) {
        onProblem(folder, systemError(errno));
        return;
    }
    QList<QByteArray> names;
    errno = 0;
    while (const dirent *entry = ::readdir(dir)) {
        // Hidden entries, "." and ".." among them, are left out.
        if (entry->d_name[0] != '.')
            names.append(QByteArray(entry->d_name));
        errno = 0;
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0)
        onProblem(folder, systemError(readError));
    std::sort(names.begin(), names.end());
    for (const QByteArray &name : names) {
        const QByteArray path = childPath(folder, name);
        struct stat st {};
        if (::stat(path.constData(), &st) != 0) {
            // A dangling link that names a mail file is worth a word.
            if (kindOf(name))
                onProblem(path, systemError(errno));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            struct stat link {};
            if (recursive && ::lstat(path.constData(), &link) == 0 && !S_ISLNK(link.st_mode))
                addFolder(path, recursive, out, onProblem);
        } else if (const auto kind = kindOf(name)) {
            out.append({path, *kind});
        }
    }
}

// Opens a source for reading; the readers get it as descriptorPath(),
// whatever bytes its name is made of.
int openSource(const QByteArray &path) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw Error(systemError(errno));
    return fd;
}

// A reader's text names the file as it got it: name it as the user did.
QString namedAsGiven(QString text, const QByteArray &readerPath, const QByteArray &path) {
    return text.replace(QString::fromLatin1(readerPath), QString::fromUtf8(path));
}

std::function<void(const QString &)> mimeWriter(const MimeAttachment &attachment, const std::function<bool()> &abandon) {
    return [attachment, abandon](const QString &target) {
        SafeFileWriter out(target, QStringLiteral("the attachment"));
        const bool complete = attachment.writeTo([&](const char *data, qint64 size) {
            if (abandon && abandon())
                throw WriteAbandoned();
            out.write(data, size);
        });
        // What there is of a cut attachment is kept, and the cut reported.
        out.commit();
        if (!complete)
            throw IncompleteAttachmentError(attachment.incompleteText(target));
    };
}

} // namespace

// One message read by the message reader from `readPath` (a descriptor's
// path; for a .dbx message, its copy in memory).
void passMimeMessage(const QByteArray &readPath, Message message, const selection::Filter &filter,
                     const ReadCallbacks &callbacks) {
    auto mime = std::make_shared<MimeMessage>();
    mime->load(QString::fromLatin1(readPath));
    message.sender = mime->senderName();
    message.subject = mime->subject();
    message.date = mime->date();
    message.attachmentCount = mime->attachmentCount();
    if (filter.withAttachmentsOnly && message.attachmentCount == 0)
        return;
    if (filter.folderMode && !selection::matchesFolderName(filter.folderName, message.folder, message.subfolder)
        && !(filter.folderPathMatches && message.folderPath.join(QLatin1Char('/')) == filter.folderName))
        return;
    if (filter.searchMode) {
        // What `list` shows, in the form it shows it.
        const QString dateText = message.date.isValid() ? message.date.toString(Qt::ISODate) : QString();
        if (!selection::matchesSearchText(filter.searchText,
                                          {mime->bodyText(), message.sender, mime->senderAddress(), dateText}))
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

} // namespace

std::optional<SourceKind> kindOf(const QByteArray &path) {
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray name = path.mid(slash + 1);
    const qsizetype dot = name.lastIndexOf('.');
    if (dot < 0)
        return namedKindOf(path); // "mbox" inside Apple Mail's "X.mbox" folders
    const QByteArray suffix = name.mid(dot + 1).toLower();
    if (suffix == "pst" || suffix == "ost")
        return SourceKind::Store;
    if (suffix == "dbx")
        return SourceKind::Dbx;
    if (suffix == "eml")
        return SourceKind::Eml;
    return namedKindOf(path);
}

QList<SourceFile> expandSources(const QList<QByteArray> &arguments, bool recursive,
                                const std::function<void(const QByteArray &, const QString &)> &onProblem) {
    QList<SourceFile> found;
    for (const QByteArray &argument : arguments) {
        struct stat st {};
        if (argument == "-") {
            found.append({argument, SourceKind::Stdin});
        } else if (argument.isEmpty() || argument.contains('\0')) {
            onProblem(argument, systemError(ENOENT));
        } else if (::stat(argument.constData(), &st) != 0) {
            onProblem(argument, systemError(errno));
        } else if (S_ISDIR(st.st_mode)) {
            addFolder(argument, recursive, found, onProblem);
        } else if (const auto kind = kindOf(argument)) {
            found.append({argument, *kind});
        } else if (const auto sniffed = contentKindOf(argument)) {
            found.append({argument, *sniffed});
        } else {
            onProblem(argument, QStringLiteral("not a .pst, .ost, .dbx, .eml, mbox or winmail.dat file"));
        }
    }
    // A file named twice (or reached through two folders) is read once.
    QSet<QByteArray> seen;
    QList<SourceFile> unique;
    for (const SourceFile &file : found) {
        QByteArray key = file.path;
        if (char *real = ::realpath(file.path.constData(), nullptr)) {
            key = QByteArray(real);
            std::free(real);
        }
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
    // The store files, open for as long as their stores.
    std::vector<std::unique_ptr<OwnedFd>> files;
    selection::LeftOut leftOut;
};

StoreSession::StoreSession() : d(std::make_unique<Private>()) {}
StoreSession::~StoreSession() {
    // The stores go before the files they were opened through.
    d->ns.reset();
    d->app.reset();
}

selection::LeftOut StoreSession::leftOut() const {
    return d->leftOut;
}

void StoreSession::read(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    if (!d->ns) {
        d->app = pst::createPstApplication(QStringList());
        d->ns = d->app->GetNamespace(QStringLiteral("MAPI"));
    }
    d->files.push_back(std::make_unique<OwnedFd>(openSource(path)));
    const QByteArray readerPath = descriptorPath(d->files.back()->fd);
    outlook::FolderPtr root;
    try {
        root = Outlook1::addStoreFile(d->ns, QString::fromLatin1(readerPath));
    } catch (const Error &e) {
        throw Error(namedAsGiven(e.text(), readerPath, path));
    }
    // The engine names the file as it reached it (through the descriptor).
    const auto onFailure = [&](const QString &where, const QString &why) {
        callbacks.onFailure(where, namedAsGiven(why, readerPath, path));
    };
    const auto onFound = [&](const selection::Found &found) {
        Message message;
        message.source = path;
        message.folderPath = found.path;
        message.folder = found.topFolder;
        message.subfolder = selection::subfolderText(found.holder, found.topFolder);
        message.attachmentCount = found.attachmentCount;
        const QString where = found.path.join(QLatin1Char('/'));
        try {
            message.id = found.item->EntryID();
            if (callbacks.details) {
                const QDateTime when = found.item->ReceivedTime();
                // Outlook's "no date" is 1 January 4501.
                if (when.isValid() && when.date().year() < 4501)
                    message.date = when.toUTC();
                message.sender = found.item->SenderName();
                message.subject = found.item->Subject();
            }
        } catch (const std::exception &e) {
            onFailure(where, QString::fromUtf8(e.what()));
            return;
        }
        const outlook::ItemPtr item = found.item;
        const std::function<bool()> abandon = callbacks.abandonWrite;
        message.attachments = [item, abandon] {
            QList<Attachment> out;
            const outlook::AttachmentsPtr all = item->Attachments();
            const int count = all->count();
            for (int i = 1; i <= count; ++i) {
                const outlook::AttachmentPtr attachment = all->Item(i);
                out.append({attachment->fileName(), QString(), attachment->contentId(), QString(), [attachment, abandon](const QString &target) {
                                try {
                                    attachment->SaveAsFile(target, [abandon](std::uint64_t, std::uint64_t) {
                                        return !(abandon && abandon());
                                    });
                                } catch (const Stopped &) {
                                    throw WriteAbandoned();
                                }
                            }});
            }
            return out;
        };
        message.htmlBody = [item] { return item->HTMLBody(); };
        callbacks.onMessage(message);
    };
    selection::StoreWalk walk(filter, onFound, onFailure, callbacks.stop);
    walk.walk(root);
    d->leftOut.inTopFolder += walk.leftOut().inTopFolder;
    d->leftOut.notMail += walk.leftOut().notMail;
}

void readEml(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    OwnedFd file;
    try {
        file.fd = openSource(path);
    } catch (const Error &e) {
        throw Error(QStringLiteral("Cannot read the message file: %1").arg(e.text()));
    }
    Message message;
    message.source = path;
    message.id = QString::fromUtf8(path.mid(path.lastIndexOf('/') + 1));
    const QByteArray readerPath = descriptorPath(file.fd);
    try {
        passMimeMessage(readerPath, std::move(message), filter, callbacks);
    } catch (const IncompleteAttachmentError &) {
        throw;
    } catch (const Error &e) {
        throw Error(namedAsGiven(e.text(), readerPath, path));
    }
}

void readDbx(const QByteArray &path, const selection::Filter &filter, const ReadCallbacks &callbacks) {
    OwnedFd file(openSource(path));
    const QByteArray readerPath = descriptorPath(file.fd);
    const std::string nativePath = readerPath.toStdString();
    const auto problems = [&](unfurl::Severity severity, const std::string &text) {
        if (severity == unfurl::Severity::Error)
            callbacks.onFailure(QString(), namedAsGiven(QString::fromStdString(text), readerPath, path));
    };
    std::optional<unfurl::DbxReader> reader;
    try {
        reader.emplace(nativePath, problems);
    } catch (const std::exception &e) {
        // The reader's text names the file itself.
        QString why = QString::fromStdString(e.what());
        if (why.startsWith(QString::fromStdString(nativePath) + QStringLiteral(": ")))
            why.remove(0, static_cast<qsizetype>(nativePath.size()) + 2);
        throw Error(namedAsGiven(why, readerPath, path));
    }
    const QByteArray fileName = path.mid(path.lastIndexOf('/') + 1);
    const QString folder = QString::fromStdString(unfurl::Converter::baseNameOf(fileName.toStdString()));
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
            OwnedFd copy(::memfd_create("dbx-message", MFD_CLOEXEC));
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
            message.folderPath = QStringList{folder};
            message.folder = folder;
            message.id = record.number ? QString::number(*record.number) : where;
            passMimeMessage(descriptorPath(copy.fd), std::move(message), filter, callbacks);
        } catch (const unfurl::DamageError &e) {
            callbacks.onFailure(where, QString::fromStdString(e.what()));
        } catch (const Error &e) {
            callbacks.onFailure(where, e.text());
        }
    });
}

} // namespace pw::cli

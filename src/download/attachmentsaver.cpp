#include "download/attachmentsaver.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "download/tnefsaving.h"

#include <QFile>

#include <sys/stat.h>

namespace pw {

namespace {

// Another program may take each name we pick before we write it; after
// this many such losses in a row something else is wrong.
constexpr int kMaxAttempts = 100;

qint64 sizeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<qint64>(st.st_size) : 0;
}

} // namespace

AttachmentSaver::AttachmentSaver(QString folder) : m_folder(std::move(folder)) {}

bool AttachmentSaver::anythingAt(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// The name test and the write are apart in time, so a name another process
// takes in between is refused by the writer, and the next one is tried.
QString AttachmentSaver::saveUnder(const QString &name, const WriteTo &write) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const QString target = m_names.uniqueTargetPath(m_folder, name, {}, anythingAt);
        try {
            write(target);
            return target;
        } catch (const NameTakenError &) {
            if (!anythingAt(target))
                throw;
        }
    }
    throw Error(QStringLiteral("No free name for \"%1\" in \"%2\"").arg(name, m_folder));
}

QList<AttachmentSaver::Saved> AttachmentSaver::save(const QString &fileName, const QString &mimeType,
                                                    const WriteTo &write) {
    const QString saved = saveUnder(safeAttachmentName(fileName, mimeType), write);
    if (!m_unpackTnef || !mayBeTnef(fileName, mimeType))
        return {{saved, sizeOf(saved)}};
    QFile wrapper(saved);
    if (!wrapper.open(QIODevice::ReadOnly))
        return {{saved, sizeOf(saved)}};
    QList<Saved> inside;
    try {
        unpackTnef(wrapper, [&](const QString &innerName, const WriteContent &content) {
            const QString path = saveUnder(innerName, [&](const QString &target) {
                SafeFileWriter out(target, QStringLiteral("the attachment"));
                content([&](const char *data, qint64 size) { out.write(data, size); });
                out.commit();
            });
            inside.append({path, sizeOf(path)});
        });
    } catch (const TnefUnreadable &e) {
        throw WrapperKept(savedWrapperText(e.text(), saved), saved);
    } catch (const Error &e) {
        // A file inside could not be written: the wrapper stays too.
        throw Error(partlyUnpackedText(e.text(), saved));
    }
    wrapper.close();
    if (inside.isEmpty())
        return {{saved, sizeOf(saved)}};
    QFile::remove(saved); // its files stand in its place
    return inside;
}

QString AttachmentSaver::plan(const QString &fileName, const QString &mimeType) {
    const QString path = m_names.uniqueTargetPath(m_folder, safeAttachmentName(fileName, mimeType), {},
                                                  [this](const QString &p) { return m_planned.contains(p) || anythingAt(p); });
    m_planned.insert(path);
    return path;
}

} // namespace pw

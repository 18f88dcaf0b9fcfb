#include "download/attachmentsaver.h"

#include "core/error.h"
#include "core/safefilewriter.h"
#include "download/tnefsaving.h"

#include <QFile>
#include <QRandomGenerator>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace pw {

namespace {

// Another program may take each name we pick before we write it. Two
// processes saving the same names fall into step, the one behind losing
// every name to the one ahead, so losses in a row are many: each of them is
// a file the other wrote, and only a count far past any folder's size says
// that something else is wrong.
constexpr int kMaxAttempts = 1000000;

qint64 sizeOf(const QString &path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? static_cast<qint64>(st.st_size) : 0;
}

// Copies the whole device into a new file at `target`.
void copyTo(QIODevice &from, const QString &target) {
    SafeFileWriter out(target, QStringLiteral("the attachment"));
    tnef::copySpan(from, tnef::Span{0, from.size()}, [&](const char *data, qint64 size) { out.write(data, size); });
    out.commit();
}

// Writes a wrapper under a hidden name in `folder` and opens it; the name
// is dropped at once, so no other program ever sees it as a file of ours
// to number around, and nothing stays behind when we stop.
std::unique_ptr<QIODevice> hiddenWrapper(const QString &folder, const AttachmentSaver::WriteTo &write) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const QString hidden = joinLocation(folder, QStringLiteral(".parcelwise-wrapper-%1")
                                                        .arg(QRandomGenerator::global()->generate64(), 16, 16,
                                                             QLatin1Char('0')));
        try {
            write(hidden);
        } catch (const NameTakenError &) {
            continue;
        }
        auto file = std::make_unique<QFile>(hidden);
        const bool opened = file->open(QIODevice::ReadOnly);
        ::unlink(QFile::encodeName(hidden).constData());
        if (!opened)
            throw Error(QStringLiteral("Cannot read the attachment back from the folder \"%1\": %2")
                            .arg(folder, file->errorString()));
        return file;
    }
    throw Error(QStringLiteral("Cannot write into the folder \"%1\": no free hidden name").arg(folder));
}

} // namespace

AttachmentSaver::AttachmentSaver(QString folder) : m_folder(std::move(folder)) {}

bool AttachmentSaver::anythingAt(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

AttachmentSaver::Saved AttachmentSaver::leave(const QString &path) {
    const Saved saved{path, sizeOf(path)};
    if (m_onFile)
        m_onFile(saved);
    return saved;
}

// The name test and the write are apart in time, so a name another process
// takes in between is refused by the writer, and the next one is tried.
QString AttachmentSaver::writeRetrying(const QString &folder, QString target, const QString &name, const WriteTo &write) {
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        try {
            write(target);
            return target;
        } catch (const NameTakenError &) {
            // Refused for something the name test does not count (a folder,
            // where only files take names): that is reported as it is.
            if (!m_taken(target))
                throw;
        }
        target = m_names.uniqueTargetPath(folder, name, m_eachStep, m_taken);
    }
    throw Error(QStringLiteral("No free name for \"%1\" in \"%2\"").arg(name, folder));
}

QString AttachmentSaver::pickName(const QString &folder, const QString &fileName, const QString &mimeType) {
    return m_names.uniqueTargetPath(folder, safeAttachmentName(fileName, mimeType), m_eachStep, m_taken);
}

QList<AttachmentSaver::Saved> AttachmentSaver::save(const QString &fileName, const QString &mimeType,
                                                    const WriteTo &write) {
    return saveAt(m_folder, pickName(m_folder, fileName, mimeType), fileName, mimeType, write);
}

QList<AttachmentSaver::Saved> AttachmentSaver::saveAt(const QString &folder, const QString &target,
                                                      const QString &fileName, const QString &mimeType,
                                                      const WriteTo &write, const WriteContent &content) {
    const QString name = safeAttachmentName(fileName, mimeType);
    if (!m_unpackTnef || !mayBeTnef(fileName, mimeType))
        return {leave(writeRetrying(folder, target, name, write))};

    // A wrapper is read from a file without a name: only what stays in the
    // end gets one, so no other process ever finds a name of ours taken by
    // a wrapper that is about to go.
    std::unique_ptr<QIODevice> wrapper;
    if (content) {
        wrapper = unnamedFileIn(folder);
        content([&](const char *data, qint64 size) {
            if (wrapper->write(data, size) != size)
                throw Error(QStringLiteral("Cannot write into the folder \"%1\": %2").arg(folder, wrapper->errorString()));
        });
    } else {
        wrapper = hiddenWrapper(folder, write);
    }
    return unpack(folder, target, name, *wrapper);
}

QList<AttachmentSaver::Saved> AttachmentSaver::unpack(const QString &folder, const QString &target, const QString &name,
                                                      QIODevice &wrapper) {
    QList<Saved> inside;
    const auto keepWrapper = [&] {
        // A file inside may have taken the wrapper's name meanwhile.
        const QString free = m_taken(target) ? m_names.uniqueTargetPath(folder, name, m_eachStep, m_taken) : target;
        return leave(writeRetrying(folder, free, name, [&](const QString &path) { copyTo(wrapper, path); }));
    };
    TnefUnpacked unpacked;
    try {
        unpacked = unpackTnef(
            wrapper,
            [&](const QString &innerName, const WriteContent &write) {
                const QString first = m_names.uniqueTargetPath(folder, innerName, m_eachStep, m_taken);
                const QString path = writeRetrying(folder, first, innerName, [&](const QString &path) {
                    SafeFileWriter out(path, QStringLiteral("the attachment"));
                    write([&](const char *data, qint64 size) { out.write(data, size); });
                    out.commit();
                });
                inside.append(leave(path));
            },
            m_stop);
    } catch (const TnefUnreadable &e) {
        const QString kept = keepWrapper().path;
        throw WrapperKept(savedWrapperText(e.text(), kept), kept);
    }
    if (unpacked.found == 0)
        return {keepWrapper()}; // no wrapper, or one with no file inside
    if (unpacked.complete() && unpacked.writeFailure.isEmpty())
        return inside;
    // Something inside is not saved, or may be wrong: the wrapper stays too.
    const Saved kept = keepWrapper();
    inside.append(kept);
    QString text;
    if (!unpacked.writeFailure.isEmpty())
        text = partlyUnpackedText(unpacked.writeFailure, kept.path);
    else if (!unpacked.damage.isEmpty())
        text = damagedWrapperText(unpacked.damage, kept.path);
    else
        text = QStringLiteral("Stopped after %1 of the %2 files inside \"%3\", so it was saved as it is too.")
                   .arg(unpacked.written)
                   .arg(unpacked.found)
                   .arg(kept.path);
    throw PartlySaved(text, inside, unpacked.stopped);
}

QString AttachmentSaver::plan(const QString &fileName, const QString &mimeType) {
    const QString path = m_names.uniqueTargetPath(m_folder, safeAttachmentName(fileName, mimeType), {},
                                                  [this](const QString &p) { return m_planned.contains(p) || m_taken(p); });
    m_planned.insert(path);
    return path;
}

} // namespace pw

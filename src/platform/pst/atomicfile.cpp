#include "platform/pst/atomicfile.h"

#include "core/error.h"
#include "core/safefilewriter.h"

#include <QDir>
#include <QFileInfo>

namespace pw::pst {

AtomicFile::AtomicFile(const QString &target, const QString &what) : m_target(target), m_what(what) {}

AtomicFile::~AtomicFile() = default;

void AtomicFile::fail(const QString &reason) const {
    throw Error(QStringLiteral("Cannot save %1 to %2: %3").arg(m_what, QDir::toNativeSeparators(m_target), reason));
}

void AtomicFile::open() {
    const QFileInfo info(m_target);
    if (info.isDir())
        fail(QStringLiteral("a folder of that name exists."));
    if (!info.dir().exists())
        fail(QStringLiteral("the folder %1 does not exist.").arg(QDir::toNativeSeparators(info.path())));
    m_file = std::make_unique<SafeFileWriter>(m_target, m_what);
}

int AtomicFile::handle() const {
    return m_file ? m_file->handle() : -1;
}

void AtomicFile::write(const char *data, qint64 size) {
    if (!m_file)
        fail(QStringLiteral("the file is not open."));
    m_file->write(data, size);
}

void AtomicFile::commit() {
    if (!m_file)
        fail(QStringLiteral("the file is not open."));
    m_file->commit();
    m_file.reset();
}

} // namespace pw::pst

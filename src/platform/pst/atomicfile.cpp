#include "platform/pst/atomicfile.h"

#include "app/core/error.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace pw::pst {

namespace {

mode_t defaultMode() {
    // What a plainly created file would get.
    static const mode_t mode = [] {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

AtomicFile::AtomicFile(const QString &target, const QString &what) : m_target(target), m_what(what) {
    const QFileInfo info(target);
    // Shortened so that a name near the file system's limit still leaves room.
    m_temp.setFileTemplate(info.dir().filePath(QStringLiteral(".") + info.fileName().left(100) + QStringLiteral(".XXXXXX")));
}

void AtomicFile::fail(const QString &reason) const {
    throw Error(QStringLiteral("Cannot save %1 to %2: %3").arg(m_what, QDir::toNativeSeparators(m_target), reason));
}

void AtomicFile::open() {
    const QFileInfo info(m_target);
    if (info.isDir())
        fail(QStringLiteral("a folder of that name exists."));
    if (!info.dir().exists())
        fail(QStringLiteral("the folder %1 does not exist.").arg(QDir::toNativeSeparators(info.path())));
    if (!m_temp.open())
        fail(m_temp.errorString());
    ::fchmod(m_temp.handle(), defaultMode());
}

void AtomicFile::write(const char *data, qint64 size) {
    if (m_temp.write(data, size) != size)
        fail(m_temp.errorString());
}

void AtomicFile::commit() {
    if (!m_temp.flush())
        fail(m_temp.errorString());
    const QByteArray from = QFile::encodeName(m_temp.fileName());
    const QByteArray to = QFile::encodeName(m_target);
    // A failed delayed write shows up at close.
    m_temp.close();
    if (m_temp.error() != QFileDevice::NoError)
        fail(m_temp.errorString());
    if (std::rename(from.constData(), to.constData()) != 0)
        fail(systemError(errno));
    m_temp.setAutoRemove(false);
}

} // namespace pw::pst

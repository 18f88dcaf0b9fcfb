// libFuzzer target: the EntryID parser of the mail-store engine, reached
// through Namespace::GetItemFromID on one open sample store. The first input
// byte picks how the rest becomes an EntryID:
//   0: the rest as text, unchanged;
//   1: the rest as the 24 bytes, written in hex (upper case when bit 2 is set);
//   2: 4 flag bytes and a 4-byte node id from the rest, around the store's
//      own record key, so the lookup by node id is reached too.
// Environment: PW_FUZZ_STORE names the store (default: a corpus sample);
// PW_FUZZ_EMIT_SEEDS=<folder> writes seeds from the store's items and exits.
#include "fuzzsupport.h"
#include "pstwalk.h"

#include "core/error.h"
#include "platform/pst/pstengine.h"

#include <QByteArray>
#include <QFile>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

pw::outlook::NamespacePtr g_namespace;
QByteArray g_recordKey;

void collectIds(const pw::outlook::FolderPtr &folder, QStringList &ids, int depth) {
    if (depth > 16 || ids.size() > 64)
        return;
    try {
        const auto items = folder->Items();
        for (int i = 1; i <= items->count() && ids.size() <= 64; ++i)
            ids.append(items->Item(i)->EntryID());
        const auto children = folder->Folders();
        for (int i = 1; i <= children->count(); ++i)
            collectIds(children->Item(i), ids, depth + 1);
    } catch (const pw::Error &) {
    }
}

void writeSeed(const QString &folder, int n, const QByteArray &bytes) {
    QFile file(folder + QStringLiteral("/entryid-%1").arg(n));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    const char *store = std::getenv("PW_FUZZ_STORE");
    const QString path = store && *store ? QString::fromLocal8Bit(store)
                                         : QStringLiteral(PW_CORPUS_DIR "/pst/test_sample.pst");
    if (!QFile::exists(path)) {
        std::fprintf(stderr, "fuzz_entryid: no store at %s (set PW_FUZZ_STORE)\n", qPrintable(path));
        std::exit(2);
    }
    const auto application = pw::pst::createPstApplication({path});
    g_namespace = application->GetNamespace(QStringLiteral("MAPI"));
    QStringList ids;
    if (g_namespace->Folders()->count() > 0)
        collectIds(g_namespace->Folders()->Item(1), ids, 0);
    if (ids.isEmpty()) {
        std::fprintf(stderr, "fuzz_entryid: %s holds no items to aim at\n", qPrintable(path));
        std::exit(2);
    }
    g_recordKey = QByteArray::fromHex(ids.first().toLatin1()).mid(4, 16);

    if (const char *seeds = std::getenv("PW_FUZZ_EMIT_SEEDS")) {
        const QString folder = QString::fromLocal8Bit(seeds);
        int n = 0;
        for (const QString &id : std::as_const(ids)) {
            const QByteArray bytes = QByteArray::fromHex(id.toLatin1());
            writeSeed(folder, n++, QByteArray(1, '\0') + id.toLatin1());
            writeSeed(folder, n++, QByteArray(1, '\4') + bytes);
            writeSeed(folder, n++, QByteArray(1, '\2') + bytes.left(4) + bytes.right(4));
        }
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const char *rest = reinterpret_cast<const char *>(data) + 1;
    const qsizetype restSize = qsizetype(size - 1);
    QString entryId;
    switch (data[0] % 3) {
    case 0:
        entryId = QString::fromUtf8(rest, restSize);
        break;
    case 1:
        entryId = QString::fromLatin1(QByteArray(rest, restSize).toHex());
        break;
    default: {
        QByteArray id = QByteArray(rest, qMin<qsizetype>(restSize, 8)).leftJustified(8, '\0');
        id = id.left(4) + g_recordKey + id.mid(4);
        entryId = QString::fromLatin1(id.toHex());
        break;
    }
    }
    if (data[0] & 4)
        entryId = entryId.toUpper();

    try {
        pwfuzz::readItem(g_namespace->GetItemFromID(entryId), 8);
    } catch (const pw::Error &) {
    }
    return 0;
}

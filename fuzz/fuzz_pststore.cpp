// libFuzzer target: any bytes as a mail store, opened by the engine and read
// whole: every folder, every value the program shows of every item, and
// every attachment saved (attached messages as .eml, so their own items and
// attachments are read too). Seeds come from the sample stores, the .ost
// among them, and from the written stores of hostile shapes.
#include "fuzzsupport.h"
#include "storewalk/storewalk.h"

#include <QDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = pwfuzz::scratchPath("whole.pst");
    static const QString saveDir = QString::fromStdString(pwfuzz::scratchPath("saved"));
    QDir().mkpath(saveDir);
    pwfuzz::writeFile(path, data, size);
    pw::storewalk::Limits limits;
    limits.folders = 256;
    limits.items = 512;
    limits.attachments = 64;
    // Copies are removed as soon as they are written: the reading is the test.
    pw::storewalk::walkFile(QString::fromStdString(path), saveDir, false, limits);
    return 0;
}

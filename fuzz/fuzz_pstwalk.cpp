// libFuzzer target: any bytes (in practice, mutated sample stores) as a mail
// file, opened by the engine and walked the way the scan walks it.
#include "fuzzsupport.h"
#include "pstwalk.h"

#include "core/error.h"
#include "platform/pst/pstengine.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    pwfuzz::quietLogging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const std::string path = pwfuzz::scratchPath("store.pst");
    pwfuzz::writeFile(path, data, size);
    try {
        const auto application = pw::pst::createPstApplication({QString::fromStdString(path)});
        pwfuzz::walkNamespace(application->GetNamespace(QStringLiteral("MAPI")), {});
    } catch (const pw::Error &) {
    }
    return 0;
}

// libFuzzer entry: any bytes as a registry file. Built with
// -DPARCELWISE_FUZZ=ON and clang; run e.g. `fuzz_registryhive -max_len=4096`.
#include "platform/registry/registryhive.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const pw::RegistryHive hive =
        pw::RegistryHive::parse(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size)));
    // Walk everything the parser built, so a broken tree shows up here.
    std::size_t bytes = 0;
    for (int key = 0; key < hive.keyCount(); ++key) {
        for (int child : hive.subkeys(key)) {
            if (child <= key || child >= hive.keyCount())
                __builtin_trap();
        }
        for (const pw::RegistryValue &value : hive.values(key))
            bytes += std::size_t(value.data.size()) + std::size_t(value.name.size());
    }
    return bytes == std::size_t(-1) ? 1 : 0;
}

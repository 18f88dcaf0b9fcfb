// libFuzzer target: any bytes as an Outlook Express .dbx file, read the way
// unfurl reads it (header check, index walk, every record, every text chain).
#include "fuzzsupport.h"

#include "unfurl/dbxreader.h"
#include "unfurl/unfurlerror.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    unfurl::classifyDbx(data, size);

    static const std::string path = pwfuzz::scratchPath("input.dbx");
    pwfuzz::writeFile(path, data, size);

    try {
        unfurl::DbxReader reader(path, [](unfurl::Severity, const std::string &) {});
        const auto result = reader.walk([&](std::uint32_t address) {
            // Damage to one record only costs that record, as in the converter.
            try {
                const unfurl::MessageRecord record = reader.readRecord(address);
                if (record.firstBlock && *record.firstBlock != 0) {
                    // One chain visits each block once, so its text fits in the file.
                    const std::uint64_t bytes =
                        reader.readText(*record.firstBlock, [](const char *, std::size_t) {});
                    if (bytes > size)
                        __builtin_trap();
                }
            } catch (const unfurl::DamageError &) {
            }
        });
        // Every handed-out address is distinct, so there can never be more
        // records than four-byte slots in the file.
        if (result.recordsFound > size / 4 + 1)
            __builtin_trap();
    } catch (const unfurl::BadInputError &) {
    } catch (const unfurl::DamageError &) {
    }
    return 0;
}

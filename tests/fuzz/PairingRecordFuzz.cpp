// The stored pairing list over arbitrary bytes. Besides not crashing: whatever decodes must
// encode again, and that text must decode to equal records, so a list read from the secret
// store survives being saved back unchanged.

#include "pairing/PairingRecord.hpp"

#include <cstdlib>
#include <span>

using namespace ravnix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto records = decodePairingRecords(std::span(data, size));
    if (!records) {
        return 0;
    }
    auto text = encodePairingRecords(*records);
    if (!text) {
        std::abort(); // decoded text is valid UTF-8 and every date is finite
    }
    auto again = decodePairingRecords(
        std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    if (!again || *again != *records) {
        std::abort();
    }
    return 0;
}

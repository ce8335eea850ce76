// Feeds arbitrary lines to the HEX reader. The input is split at LF into lines, so one run
// carries reader state (upper address, end record) from line to line as a file does.
// AddressSanitizer catches any write outside the record bytes or RomImage.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "Exception.h"
#include "HexReader.h"
#include "RomImage.h"

namespace {

class TNullOutput : public THexOutput {
public:
    void AddLine(const std::string&) override {}
    void SetStatus(const std::string&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TNullOutput out;
    ResetImageStore();
    AddressLimit = 0x7FFFFFFF;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (!input.empty()) {
        const std::size_t lf = input.find('\n');
        const std::string_view line = input.substr(0, lf);
        input = lf == std::string_view::npos ? std::string_view() : input.substr(lf + 1);
        try {
            const THexRecord r = dointel(line, out);
            if (r.stored && (std::uint64_t{r.address} + r.length > kRomImageSize)) __builtin_trap();
        } catch (const rt::EAbort&) {
            break;
        }
    }
    if (LastAddress < 0 || static_cast<std::uint32_t>(LastAddress) >= kRomImageSize) __builtin_trap();
    return 0;
}

// MAC addresses and ranges: what is accepted round-trips and holds no address a device can't have.
#include "cli/mac_pool.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view text = fuzz::as_text(data, size);
    if (const auto mac = cli::parse_mac(text))
        fuzz::require(cli::parse_mac(cli::mac_text(*mac)) == mac);
    const cli::MacRangeCheck check = cli::check_mac_range(text);
    fuzz::require(check.range.has_value() != !check.error.empty());
    if (check.range) {
        fuzz::require(check.range->first <= check.range->last);
        fuzz::require(cli::mac_refusal(check.range->first).empty() &&
                      cli::mac_refusal(check.range->last).empty());
        const auto again = cli::parse_mac_range(check.range->text());
        fuzz::require(again && again->first == check.range->first &&
                      again->last == check.range->last);
    }
    return 0;
}

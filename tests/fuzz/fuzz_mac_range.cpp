// MAC addresses and ranges: what is accepted round-trips and holds no address a device can't have.
#include "cli/mac_pool.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string_view text = fuzz::as_text(data, size);
    if (const auto mac = cli::parse_mac(text))
        fuzz::require(cli::parse_mac(cli::mac_text(*mac)) == mac);
    const Result<cli::MacRange> check = cli::check_mac_range(text);
    fuzz::require(check.ok() == check.reason().empty());
    if (check) {
        fuzz::require(check->first <= check->last);
        fuzz::require(cli::mac_refusal(check->first).empty() &&
                      cli::mac_refusal(check->last).empty());
        const auto again = cli::parse_mac_range(check->text());
        fuzz::require(again && again->first == check->first && again->last == check->last);
    }
    return 0;
}

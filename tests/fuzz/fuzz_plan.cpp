// The production plan's parser on any text: never a crash, messages bounded.
#include <vector>

#include "cli/batch_plan.h"
#include "fuzz_target.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kestrel;
    const std::string text(fuzz::as_text(data, size));
    for (const bool auto_mac : {false, true}) {
        const cli::PlanParse plan = cli::parse_plan_text(text, "plan.csv", auto_mac);
        // A shown cell is at most 80 characters, so no message grows with the input.
        for (const auto& e : plan.errors)
            fuzz::require(e.size() < 600);
    }
    std::vector<std::string> cells;
    (void)cli::split_csv_line(text, cells);
    return 0;
}

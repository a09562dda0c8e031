// Starting a chip erase the chip surely took, for every write job. Worker thread; uses the
// link.
#pragma once

namespace kestrel {

inline constexpr int kChipEraseTries = 3;

enum class EraseStart {
    Started,   // the chip erase runs; the 13000 ms pause is over
    NotTaken,  // no try was acknowledged, nor did the chip read busy after one
};

// Reads the status first: a chip still busy from an earlier operation ignores Chip Erase, so it
// is waited for like an erase (1000 ms between polls, at most 20). Then sends Write Enable and
// Chip Erase up to kChipEraseTries times, until a try is acknowledged in full or the status read
// after it shows the chip busy (a chip found ready before can be busy only with this erase), then
// pauses 13000 ms. Each try not taken is traced.
[[nodiscard]] EraseStart start_chip_erase();

}  // namespace kestrel

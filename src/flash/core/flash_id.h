// The chip-identification check that opens the read and write procedures.
#pragma once

#include "flash/core/spi_flash.h"

namespace kestrel {

// Reads the chip identification with spi_read_id and traces
//   "***************************ID*****************************"
//   "ID date0: %x, date1: %x,date2: %x"
//   "***************************ID****************************"
// Gives true (go on) only for C2 20 16. An id of all 00h or all FFh means that no chip
// answers, anything else is an unexpected chip; a further trace line says which. A read that
// the device did not fully acknowledge is made again, at most 3 reads, before the id is judged.
bool check_flash_id();

// The same check, handing back the identification it judged (all zero when no read came).
bool check_flash_id(FlashId& id);

// An id of all 00h or all FFh: no chip answers (or a busy one, which ignores the id read).
[[nodiscard]] bool no_flash_chip(const FlashId& id);

}  // namespace kestrel

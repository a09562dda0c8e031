// The multicast address read on its own, for info and set: the configuration block's read skips
// it while multicast is off. Called on the command's thread once the session is connected.
#pragma once

#include <optional>

#include "link/ipv4.h"

namespace kestrel::cli {

// The address, read up to three times until a read is clean and confirmed; nullopt when the
// device is silent or no read was clean.
std::optional<Ipv4Net> read_multicast_ip();

}  // namespace kestrel::cli

// Opening the link to a device and the text handshake, for any front end.
//
// Runs on the calling thread (the dialog thread, or the command line's main thread); the link
// is process-wide, so only one thread may connect at a time.
#pragma once

#include <cstdint>
#include <string>

#include "link/ipv4.h"
#include "platform/status.h"

namespace kestrel::device {

// Opens the link (which traces `typed`, the address as the user gave it), points it at
// `address` and `port` (the checked address: a typed "127.0.0.010" is 127.0.0.10, never the
// octal reading), and makes the handshake. The port is the server field's, 0 to 65535. The
// caller saves its settings first if it keeps any. SystemError when no socket could be made
// (nothing was sent); NoAnswer when "connectok" did not come back.
[[nodiscard]] Status connect_device(const std::string& typed, Ipv4Net address, std::uint16_t port);

}  // namespace kestrel::device

// A group of simulated device registers. The device routes every register access to the bank
// mapped at its address; banks are called on the server thread with the device lock held.
#pragma once

#include <cstdint>

#include "protocol/register_word.h"

namespace kestrel::sim {

class RegisterBank {
  public:
    virtual ~RegisterBank() = default;
    // The word the device answers a read of `address` with (reply bytes 4..11).
    virtual RegisterWord read(std::uint16_t address) = 0;
    virtual void write(std::uint16_t address, const RegisterWord& word) = 0;
};

}  // namespace kestrel::sim

// The simulated device: a 16-bit register space routed to register banks. Addresses that no
// bank claims behave as plain storage (a read gives the last word written, zero at first).
//
// The device itself is not thread-safe; the server serialises all access under its lock and
// tests that inspect it while the server runs take Server::lock() first.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "sim/mailbox_bank.h"
#include "sim/nor_flash.h"
#include "sim/register_bank.h"
#include "sim/rtp_bank.h"
#include "sim/spi_master.h"
#include "sim/stored_config.h"

namespace kestrel::sim {

class Device {
  public:
    Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Routes addresses first..last (inclusive) to bank, which must outlive the device.
    void map(std::uint16_t first, std::uint16_t last, RegisterBank& bank);
    // Takes ownership of a bank and maps it.
    RegisterBank& add_bank(std::uint16_t first, std::uint16_t last,
                           std::unique_ptr<RegisterBank> bank);

    RegisterWord read(std::uint16_t address);
    void write(std::uint16_t address, const RegisterWord& word);

    ConfigBlock& config() { return config_; }
    MailboxBank& mailbox() { return mailbox_; }
    RtpBank& rtp() { return rtp_; }
    // The SPI master at SPI_INIT..SPI_ACCESS and the 4 MiB flash chip behind it.
    NorFlash& flash() { return flash_; }
    SpiMaster& spi() { return spi_; }

  private:
    ConfigBlock config_;
    MailboxBank mailbox_;
    RtpBank rtp_;
    NorFlash flash_;
    SpiMaster spi_{flash_};
    std::array<RegisterBank*, 65536> routes_{};
    std::unordered_map<std::uint16_t, RegisterWord> plain_;
    std::vector<std::unique_ptr<RegisterBank>> owned_;
};

}  // namespace kestrel::sim

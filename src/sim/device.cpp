#include "sim/device.h"

#include "protocol/host_regs.h"
#include "protocol/rtp.h"

namespace kestrel::sim {

Device::Device() : mailbox_(config_) {
    map(HOST_CMD, HOST_CMD, mailbox_);
    map(HOST_DATA, HOST_DATA, mailbox_);
    map(HOST_CTRL, HOST_CTRL, mailbox_);
    for (int n = 0; n < kSimRtpChannels; ++n) {
        const auto address = static_cast<std::uint16_t>(RTP_CH_CTRL + kRtpChannelStride * n);
        map(address, address, rtp_);
    }
    map(kSpiFirstAddress, kSpiLastAddress, spi_);
}

void Device::map(std::uint16_t first, std::uint16_t last, RegisterBank& bank) {
    for (std::uint32_t a = first; a <= last; ++a)
        routes_[a] = &bank;
}

RegisterBank& Device::add_bank(std::uint16_t first, std::uint16_t last,
                               std::unique_ptr<RegisterBank> bank) {
    RegisterBank& ref = *bank;
    owned_.push_back(std::move(bank));
    map(first, last, ref);
    return ref;
}

RegisterWord Device::read(std::uint16_t address) {
    if (RegisterBank* bank = routes_[address]) return bank->read(address);
    const auto it = plain_.find(address);
    return it == plain_.end() ? RegisterWord{} : it->second;
}

void Device::write(std::uint16_t address, const RegisterWord& word) {
    if (RegisterBank* bank = routes_[address]) {
        bank->write(address, word);
    } else {
        plain_[address] = word;
    }
}

}  // namespace kestrel::sim

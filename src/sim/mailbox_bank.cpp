#include "sim/mailbox_bank.h"

#include "protocol/host_regs.h"

namespace kestrel::sim {

RegisterWord MailboxBank::read(std::uint16_t address) {
    if (address == HOST_CMD) {
        RegisterWord word = cmd_;
        if (sticky_done_) {
            word[0] = kTaskDone;
        } else if (task_pending_) {
            // The first look after a post finds the flag clear; the task is done from then on.
            task_pending_ = false;
            done_ = !never_done_;
            word[0] = 0x00;
        } else {
            word[0] = done_ ? kTaskDone : 0x00;
        }
        host_saw_done_ = word[0] == kTaskDone;
        return word;
    }
    if (address == HOST_DATA) return data_;
    if (address == HOST_CTRL) {
        RegisterWord word{};
        if (ctrl_override_ >= 0) {
            word[0] = static_cast<std::uint8_t>(ctrl_override_);
        } else if (hold_reads_ > 0) {
            --hold_reads_;
            word[0] = kOwnerMcu;
        }
        return word;
    }
    return RegisterWord{};
}

void MailboxBank::write(std::uint16_t address, const RegisterWord& word) {
    if (address == HOST_DATA) {
        data_ = word;
    } else if (address == HOST_CMD) {
        cmd_ = word;
        run_command(word);
    } else if (address == HOST_CTRL) {
        last_ctrl_ = word;
        // The host hands the mailbox back once it has seen the done flag.
        if (host_saw_done_ && word == cmd_) {
            host_saw_done_ = false;
            done_ = false;
            if (commit_pending_) {
                commit_pending_ = false;
                ++commits_;
                if (on_commit_) on_commit_();
            }
        }
    }
}

void MailboxBank::run_command(const RegisterWord& cmd) {
    const std::uint16_t code = static_cast<std::uint16_t>(cmd[1] << 8 | cmd[2]);
    const std::uint32_t offset = static_cast<std::uint32_t>(cmd[4]) << 24 |
                                 static_cast<std::uint32_t>(cmd[5]) << 16 |
                                 static_cast<std::uint32_t>(cmd[6]) << 8 | cmd[7];
    task_pending_ = true;
    done_ = false;
    host_saw_done_ = false;
    if ((code & 0xFF00) == kCodeTransfer && (code & 0xFF) >= 1 && (code & 0xFF) <= 8) {
        const std::size_t count = code & 0xFF;
        if (cmd[0] == kDirFromDevice) {
            data_.fill(0);
            for (std::size_t i = 0; i < count; ++i) {
                if (offset + i < block_.bytes.size()) data_[i] = block_.bytes[offset + i];
            }
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                if (offset + i < block_.bytes.size()) block_.bytes[offset + i] = data_[i];
            }
        }
    } else if (code == kCodeCommit) {
        commit_pending_ = true;
    } else if (code == kCodeReset) {
        ++resets_;
        if (on_reset_) on_reset_(data_);
    }
}

}  // namespace kestrel::sim

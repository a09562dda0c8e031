// HOST_CMD, HOST_DATA and HOST_CTRL: the mcu side of the host mailbox.
//
// A command posted to HOST_CMD runs at once on the configuration block (a read chunk loads
// HOST_DATA, a write chunk stores HOST_DATA's bytes); its done flag (HOST_CMD byte 0 = 01h)
// shows from the second HOST_CMD read after the post, so the tool's done-clear wait sees it
// clear first. A write to HOST_CTRL acknowledges the task and clears the flag.
#pragma once

#include <cstdint>
#include <functional>

#include "sim/register_bank.h"
#include "sim/stored_config.h"

namespace kestrel::sim {

class MailboxBank : public RegisterBank {
  public:
    explicit MailboxBank(ConfigBlock& block) : block_(block) {}

    RegisterWord read(std::uint16_t address) override;
    void write(std::uint16_t address, const RegisterWord& word) override;

    // Called after a commit (code 0000h) has been acknowledged through HOST_CTRL.
    void on_commit(std::function<void()> fn) { on_commit_ = std::move(fn); }
    // Called when a reset command (code 0100h) is posted, with its data word.
    void on_reset(std::function<void(const RegisterWord&)> fn) { on_reset_ = std::move(fn); }

    // Faults: the mcu holds the mailbox (HOST_CTRL reads 01h) for the next n reads of HOST_CTRL.
    void hold_mailbox_for(int reads) { hold_reads_ = reads; }
    // Faults: HOST_CTRL byte 0 reads as this value (neither 00h nor 01h is invalid); -1 = normal.
    void set_ctrl_override(int value) { ctrl_override_ = value; }
    // Faults: the done flag never shows.
    void set_task_never_done(bool never) { never_done_ = never; }
    // Faults: the done flag stays set after it first shows (the done-clear wait runs out).
    void set_done_sticky(bool sticky) { sticky_done_ = sticky; }

    int commits() const { return commits_; }
    int resets() const { return resets_; }
    const RegisterWord& last_ctrl_write() const { return last_ctrl_; }

  private:
    void run_command(const RegisterWord& cmd);

    ConfigBlock& block_;
    RegisterWord data_{};
    RegisterWord cmd_{};
    RegisterWord last_ctrl_{};
    bool task_pending_ = false;  // posted, done flag not yet visible
    bool done_ = false;
    bool host_saw_done_ = false;  // the last HOST_CMD read showed 01h
    bool commit_pending_ = false;
    int hold_reads_ = 0;
    int ctrl_override_ = -1;
    bool never_done_ = false;
    bool sticky_done_ = false;
    int commits_ = 0;
    int resets_ = 0;
    std::function<void()> on_commit_;
    std::function<void(const RegisterWord&)> on_reset_;
};

}  // namespace kestrel::sim

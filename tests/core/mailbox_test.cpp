// Host mailbox traffic against the simulated device: chunk splits, command words, the waits
// and their bounds, commit, reset and the RTP channel close.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "link/mailbox.h"
#include "link/reply_wait.h"
#include "link/transport.h"
#include "protocol/config_block.h"
#include "support/register_word.h"
#include "support/sim_fixture.h"
#include "support/udp.h"
#include "support/wait_floor.h"

namespace kestrel::test {
namespace {

using ::testing::ElementsAre;
using Kind = sim::Exchange::Kind;

// One exchange as "R 4000" / "W 4010 00 09 06 ..." so whole sequences compare at a glance.
std::string describe(const sim::Exchange& ex) {
    char buf[64];
    if (ex.kind == Kind::Read) {
        std::snprintf(buf, sizeof buf, "R %04x", ex.address);
    } else {
        std::snprintf(buf, sizeof buf, "W %04x %02x %02x %02x %02x %02x %02x %02x %02x", ex.address,
                      ex.word[0], ex.word[1], ex.word[2], ex.word[3], ex.word[4], ex.word[5],
                      ex.word[6], ex.word[7]);
    }
    return buf;
}

class MailboxTest : public SimFixture {
  protected:
    std::vector<std::string> traffic() {
        std::vector<std::string> out;
        for (const auto& ex : registers())
            out.push_back(describe(ex));
        return out;
    }
    std::vector<RegisterWord> commands() {
        std::vector<RegisterWord> out;
        for (const auto& ex : writes_to(HOST_CMD))
            out.push_back(ex.word);
        return out;
    }
};

TEST_F(MailboxTest, WriteChunkRunsDataCommandBothWaitsAndHandsBack) {
    mailbox_write_chunk(12, 0x0902, word_of({0x13, 0x88}));
    EXPECT_THAT(traffic(), ElementsAre("W 4008 13 88 00 00 00 00 00 00",  //
                                       "W 4000 00 09 02 00 00 00 00 0c",  //
                                       "R 4000",                          // done flag clear
                                       "W 4010 00 09 02 00 00 00 00 0c",  //
                                       "R 4000",                          // task done
                                       "W 4010 00 09 02 00 00 00 00 0c"));
    EXPECT_EQ(device_.config().port(), 0x1388);
    EXPECT_TRUE(sleeps_.sleeps().empty());
}

TEST_F(MailboxTest, ReadBlockOfSixPostsOneCommandAndStoresEightBytes) {
    device_.config().set_mac({0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    std::array<std::uint8_t, 8> dest;
    dest.fill(0xAA);
    mailbox_read_block(6, 0, dest);
    EXPECT_THAT(commands(), ElementsAre(word_of({0x80, 0x09, 0x06, 0, 0, 0, 0, 0})));
    EXPECT_THAT(dest, ElementsAre(0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x00));
    EXPECT_EQ(reads_of(HOST_DATA), 1);
}

TEST_F(MailboxTest, WriteBlockOfTwoAtTwelveLoadsDataThenPostsCommand) {
    const std::uint8_t port[2] = {0x13, 0x88};
    mailbox_write_block(2, 12, port);
    EXPECT_THAT(commands(), ElementsAre(word_of({0x00, 0x09, 0x02, 0, 0, 0, 0, 0x0C})));
    EXPECT_THAT(writes_to(HOST_DATA)[0].word, ElementsAre(0x13, 0x88, 0, 0, 0, 0, 0, 0));
}

TEST_F(MailboxTest, BlocksSplitShortChunkFirstThenEightByteChunks) {
    std::array<std::uint8_t, 12> src{};
    for (std::size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<std::uint8_t>(0xA0 + i);
    mailbox_write_block(12, 32, src);
    EXPECT_THAT(commands(), ElementsAre(word_of({0x00, 0x09, 0x04, 0, 0, 0, 0, 0x20}),
                                        word_of({0x00, 0x09, 0x08, 0, 0, 0, 0, 0x24})));
    const auto data = writes_to(HOST_DATA);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_THAT(data[0].word, ElementsAre(0xA0, 0xA1, 0xA2, 0xA3, 0, 0, 0, 0));
    EXPECT_THAT(data[1].word, ElementsAre(0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB));

    server_->clear_exchanges();
    std::array<std::uint8_t, 16> back{};
    mailbox_read_block(16, 0, back);
    EXPECT_THAT(commands(), ElementsAre(word_of({0x80, 0x09, 0x08, 0, 0, 0, 0, 0x00}),
                                        word_of({0x80, 0x09, 0x08, 0, 0, 0, 0, 0x08})));

    server_->clear_exchanges();
    std::array<std::uint8_t, 12> again{};
    mailbox_read_block(12, 32, again);
    EXPECT_EQ(again, src);
}

TEST_F(MailboxTest, ReadIntoShortBufferNeverWritesPastIt) {
    std::array<std::uint8_t, 10> dest{};
    dest.fill(0x55);
    mailbox_read_block(2, 12, std::span<std::uint8_t>(dest.data(), 2));
    EXPECT_EQ(dest[2], 0x55);
}

TEST_F(MailboxTest, CheckTaskDoneGivesUpAfterTwoHundredReadsAndSleeps) {
    device_.mailbox().set_task_never_done(true);
    EXPECT_FALSE(check_task_done());
    EXPECT_EQ(reads_of(HOST_CMD), 200);
    EXPECT_EQ(sleeps_.count(30), 200);
    EXPECT_EQ(sleeps_.sleeps().size(), 200u);
    EXPECT_THAT(traces_.lines(), ElementsAre("check_task_done : time out, host busy ! "));
}

TEST_F(MailboxTest, CheckTaskDoneSeenAtFirstReadMakesOneReadAndNoSleep) {
    device_.mailbox().set_done_sticky(true);
    EXPECT_TRUE(check_task_done());
    EXPECT_EQ(reads_of(HOST_CMD), 1);
    EXPECT_TRUE(sleeps_.sleeps().empty());
}

TEST_F(MailboxTest, WaitDoneClearWritesTheLastWordReadToHostCtrl) {
    mailbox_write_chunk(0, 0x0901, RegisterWord{});
    server_->clear_exchanges();
    EXPECT_TRUE(wait_done_clear());  // the flag was handed back: reads clear at once
    EXPECT_EQ(reads_of(HOST_CMD), 1);
    ASSERT_EQ(writes_to(HOST_CTRL).size(), 1u);
    EXPECT_THAT(writes_to(HOST_CTRL)[0].word, ElementsAre(0x00, 0x09, 0x01, 0, 0, 0, 0, 0));
}

TEST_F(MailboxTest, WaitDoneClearStopsAfterFiveReadsOfAStickyFlag) {
    device_.mailbox().set_done_sticky(true);
    EXPECT_FALSE(wait_done_clear());
    EXPECT_EQ(reads_of(HOST_CMD), 5);
    EXPECT_EQ(sleeps_.count(1), 5);
    ASSERT_EQ(writes_to(HOST_CTRL).size(), 1u);
    EXPECT_EQ(writes_to(HOST_CTRL)[0].word[0], 0x01);
    EXPECT_TRUE(traces_.lines().empty());
}

TEST_F(MailboxTest, OwnershipWaitSleepsASecondPerRoundWhileTheMcuHoldsTheMailbox) {
    device_.mailbox().hold_mailbox_for(2);
    EXPECT_EQ(host_controled_by(), MailboxOwner::UdpCmd);
    EXPECT_THAT(traces_.lines(),
                ElementsAre("host controled by mcu!", "wait.........", "host controled by mcu!",
                            "wait.........", "host controled by udp_cmd !"));
    EXPECT_THAT(sleeps_.sleeps(), ElementsAre(1000, 1000));
    EXPECT_EQ(reads_of(HOST_CTRL), 3);
}

// The described wait has no bound; ours gives up after a fixed number of rounds.
TEST_F(MailboxTest, OwnershipWaitGivesUpAfterItsBound) {
    device_.mailbox().hold_mailbox_for(1000000);
    EXPECT_EQ(host_controled_by(), MailboxOwner::Mcu);
    EXPECT_EQ(reads_of(HOST_CTRL), kOwnershipMaxRounds);
    EXPECT_EQ(sleeps_.count(1000), kOwnershipMaxRounds);
    const auto lines = traces_.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(),
              "[host_controled_by] mcu still holds the mailbox after 30 rounds, going on");
}

TEST_F(MailboxTest, OwnershipWaitTracesInvalidOwner) {
    device_.mailbox().set_ctrl_override(0x07);
    EXPECT_EQ(host_controled_by(), MailboxOwner::Invalid);
    EXPECT_THAT(traces_.lines(), ElementsAre("[host_controled_by] error!  rd invalid data!"));
    EXPECT_TRUE(sleeps_.sleeps().empty());
}

TEST_F(MailboxTest, CommitPostsZeroCommandWaitsAgainAndPauses) {
    mailbox_commit();
    EXPECT_THAT(traffic(), ElementsAre("W 4008 00 00 00 00 00 00 00 00",            //
                                       "W 4000 00 00 00 00 00 00 00 00",            //
                                       "R 4000", "W 4010 00 00 00 00 00 00 00 00",  //
                                       "R 4000", "W 4010 00 00 00 00 00 00 00 00",  //
                                       "R 4000", "W 4010 00 00 00 00 00 00 00 00"));
    EXPECT_THAT(sleeps_.sleeps(), ElementsAre(2));
    EXPECT_EQ(device_.mailbox().commits(), 1);
}

TEST_F(MailboxTest, ResetMakesNoCompletionWait) {
    EXPECT_TRUE(reset_device(word_of({1, 2, 3, 4, 5, 6, 7, 8})));
    EXPECT_THAT(traffic(), ElementsAre("W 4008 01 02 03 04 05 06 07 08",  //
                                       "W 4000 00 01 00 00 00 00 00 00",  //
                                       "R 4000", "W 4010 00 01 00 00 00 00 00 00",
                                       "W 4010 00 01 00 00 00 00 00 00"));
    EXPECT_EQ(device_.mailbox().resets(), 1);

    server_->clear_exchanges();
    device_.mailbox().set_done_sticky(true);
    reset_device(RegisterWord{});
    EXPECT_LE(reads_of(HOST_CMD), 5);
}

TEST_F(MailboxTest, CloseRtpTracesTheBaseAddressAndWritesTheControlRegister) {
    close_rtp(0);
    close_rtp(5);
    close_rtp(63);
    EXPECT_THAT(traces_.lines(),
                ElementsAre("close rtp 0 address : c000", "close rtp 5 address : c500",
                            "close rtp 63 address : ff00"));
    EXPECT_THAT(traffic(),
                ElementsAre("W c018 00 00 00 00 00 00 00 00", "W c518 00 00 00 00 00 00 00 00",
                            "W ff18 00 00 00 00 00 00 00 00"));
    EXPECT_FALSE(device_.rtp().is_open(0));
    EXPECT_TRUE(device_.rtp().is_open(1));
    EXPECT_FALSE(device_.rtp().is_open(63));
}

// A commit that changes the device's address moves the simulator; the rest of the commit still
// reaches it at the old address, and the next exchange goes to the new one.
TEST_F(MailboxTest, CommitOfNewAddressMovesTheDevice) {
    const int probe = bind_loopback("127.0.0.3");
    ASSERT_GE(probe, 0);
    const std::uint16_t new_port = local_port(probe);
    close(probe);
    const std::uint8_t ip[4] = {127, 0, 0, 3};
    const std::uint8_t port[2] = {static_cast<std::uint8_t>(new_port >> 8),
                                  static_cast<std::uint8_t>(new_port & 0xFF)};
    mailbox_write_block(4, kCfgIpOffset, ip);
    mailbox_write_block(2, kCfgPortOffset, port);
    const std::uint16_t old_port = server_->port();
    const std::uint64_t unacknowledged = link_stats().unacknowledged;
    mailbox_commit();
    EXPECT_EQ(link_stats().unacknowledged, unacknowledged);
    EXPECT_EQ(server_->address(), "127.0.0.3");
    EXPECT_EQ(server_->port(), new_port);

    set_peer_address(*parse_ipv4("127.0.0.3"), new_port);
    server_->clear_exchanges();
    RegisterWord w{};
    EXPECT_TRUE(read_reg(HOST_CTRL, w));
    ASSERT_EQ(registers().size(), 1u);
    EXPECT_EQ(registers()[0].local_port, new_port);
    EXPECT_NE(new_port, old_port);
}

TEST_F(MailboxTest, CleanBlockReadReportsItsSixExchanges) {
    device_.config().set_mac({0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
    std::array<std::uint8_t, 8> dest{};
    const MailboxResult r = mailbox_read_block(6, kCfgMacOffset, dest);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.exchanges, 6);
    EXPECT_FALSE(r.moved);
    EXPECT_EQ(dest[1], 0x1a);
}

TEST_F(MailboxTest, ReadOfATaskThatNeverCompletesIsNotOkAndKeepsNoBytes) {
    device_.mailbox().set_task_never_done(true);
    std::array<std::uint8_t, 8> dest;
    dest.fill(0xEE);
    const MailboxResult r = mailbox_read_block(6, kCfgMacOffset, dest);
    EXPECT_TRUE(r.clean);
    EXPECT_FALSE(r.task_done);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(dest, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(sleeps_.count(30), kTaskDoneTries);
}

TEST_F(MailboxTest, RefusedRepliesLeaveTheBlockUncleanButItRunsToItsEnd) {
    sim::LinkFaults f;
    f.nak = 1.0;
    server_->set_faults(f);
    const std::uint8_t src[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const MailboxResult r = mailbox_write_block(12, 32, src);
    EXPECT_FALSE(r.clean);
    EXPECT_FALSE(r.silent);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(commands().size(), 2u);
    EXPECT_EQ(traces_.count("mailbox : no answer from the device, giving up"), 0);
}

// The link's wait has learnt a fast device; the device then slows down (a loaded host sees the
// same). A mailbox transfer still waits the described 50 ms for each reply and completes.
TEST_F(MailboxTest, SlowRepliesWithinFiftyMillisecondsCompleteATransferAfterAFastLink) {
    const ReplyWaitFloor floor(kMinWaitUs);
    RegisterWord w{};
    int in_a_row = 0;
    for (int i = 0; i < 200 && in_a_row < 8; ++i)
        in_a_row = read_reg(HOST_DATA, w) ? in_a_row + 1 : 0;
    ASSERT_EQ(in_a_row, 8);
    ASSERT_LT(current_reply_wait_us(), 25000u);
    sim::LinkFaults f;
    f.reply_delay_us = 25000;
    server_->set_faults(f);
    const std::uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};
    const MailboxResult r = mailbox_write_block(6, kCfgMacOffset, mac);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.exchanges, 6);
    EXPECT_EQ(device_.config().mac()[5], 0x07);
    EXPECT_FALSE(full_reply_wait());  // the full wait ended with the transfer
}

TEST_F(MailboxTest, SilentDeviceMakesATransferGiveUpAfterSixExchanges) {
    sim::LinkFaults f;
    f.lose_request = 1.0;
    server_->set_faults(f);
    const std::uint8_t src[12] = {};
    const MailboxResult w = mailbox_write_block(12, 32, src);
    EXPECT_TRUE(w.silent);
    EXPECT_EQ(w.exchanges, kSilentGiveUp);
    EXPECT_EQ(registers().size(), 6u);
    EXPECT_EQ(traces_.count("mailbox : no answer from the device, giving up"), 1);

    const MailboxResult c = mailbox_commit();
    EXPECT_TRUE(c.silent);
    EXPECT_EQ(c.exchanges, kSilentGiveUp);
    EXPECT_EQ(sleeps_.count(2), 0);  // no commit pause after giving up
    EXPECT_EQ(sleeps_.count(1), 0);
}

TEST_F(MailboxTest, CommitWithAMoveTargetStaysWhereTheDeviceAnswers) {
    const PeerAddress before = peer_address();
    const MailboxResult r =
        mailbox_commit(CommitMove{*parse_ipv4("127.0.0.3"), free_udp_port("127.0.0.3")});
    EXPECT_TRUE(r.ok());
    EXPECT_FALSE(r.moved);
    EXPECT_EQ(peer_address().addr, before.addr);
    EXPECT_EQ(peer_address().port, before.port);
}

TEST_F(MailboxTest, OwnershipReadsWithoutAnAnswerGiveUnknownNotTheUdpPath) {
    sim::LinkFaults f;
    f.lose_reply = 1.0;
    server_->set_faults(f);
    EXPECT_EQ(host_controled_by(), MailboxOwner::Unknown);
    EXPECT_THAT(traces_.lines(), ElementsAre("READ Reg32, ACK error! ", "READ Reg32, ACK error! ",
                                             "READ Reg32, ACK error! ",
                                             "[host_controled_by] no clean answer, owner unknown"));
    EXPECT_TRUE(sleeps_.sleeps().empty());
}

}  // namespace
}  // namespace kestrel::test

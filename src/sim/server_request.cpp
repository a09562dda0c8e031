// Serving one request: what the device takes it for, the faults drawn for it, what the device
// does, and the service figures.
#include <cstring>

#include "protocol/wire.h"
#include "sim/server_state.h"

namespace kestrel::sim {
namespace {

// The clock is read only for what needs it: a fault or reply delay that leaves later, and one
// request in kTimedEvery for the service figures. On loopback each reading is a good part of the
// service itself.
constexpr std::uint64_t kTimedEvery = 64;

std::uint64_t nanoseconds(Clock::duration d) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

}  // namespace

void Server::handle_locked(const Datagram& d, Clock::time_point started) {
    Served s = begin_service_locked(d, started);
    impl_->reply.clear();
    const Request request = decode_request(d.bytes, d.size);
    s.ex.kind = request.kind;
    draw_faults_locked(request, d, s);
    if (s.fault.lose_request) {
        s.ex.lost_request = true;
        ++impl_->counters.faults.lost_requests;
    } else if (request.is_register()) {
        dispatch_locked(request, d.bytes, s);
        if (s.fault.dup_request) send_request_copy_locked(d, s);
    } else if (request.kind == DatagramKind::Handshake) {
        answer_handshake_locked();
    }
    send_reply_locked(d, s);
    end_service_locked(s);
}

Server::Served Server::begin_service_locked(const Datagram& d, Clock::time_point started) {
    Impl& im = *impl_;
    Served s;
    s.started = started;
    s.ex.request_size = d.size;
    s.ex.local_port = d.fd == im.main_fd ? port_ : d.fd == im.other_fd ? other_port_ : im.old_port;
    // The first request at a new address ends the service of the old one.
    if (d.fd == im.main_fd && im.old_fd >= 0) im.retire_old_socket();
    ++im.counters.requests;
    s.timed = im.counters.requests % kTimedEvery == 0;
    if (s.timed) s.start_time();
    return s;
}

void Server::draw_faults_locked(const Request& request, const Datagram& d, Served& s) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    if (!d.copy && (request.is_register() ||
                    (request.kind == DatagramKind::Handshake && config.faults_on_handshake))) {
        s.fault = im.faults.draw();
    }
    // A request lost on the way never reached the device, so it releases nothing.
    if (request.is_register() && !s.fault.lose_request)
        im.release_held_replies(config.link_delay_us);
}

void Server::dispatch_locked(const Request& request, const std::uint8_t* bytes, Served& s) {
    Impl& im = *impl_;
    const LinkFaults& config = im.faults.faults();
    std::vector<std::uint8_t>& reply = im.reply;
    s.ex.address = request.address;
    if (request.kind == DatagramKind::Read) {
        ++im.counters.reads;
        s.ex.word = device_.read(request.address);
        reply.assign(kReadRequestSize, 0);
        std::memcpy(reply.data() + kRegisterValueAt, s.ex.word.data(), s.ex.word.size());
    } else {
        ++im.counters.writes;
        s.ex.word = request.word;
        device_.write(request.address, request.word);
        reply.assign(config.long_write_replies ? kReadRequestSize : kWriteRequestSize, 0);
    }
    reply[1] = s.fault.nak ? 0x00 : kAck;
    if (s.fault.nak) {
        ++im.counters.faults.naks;
        s.ex.faults += " nak";
    }
    if (!config.no_echo) {
        reply[2] = bytes[2];
        reply[3] = bytes[3];
    }
}

void Server::send_request_copy_locked(const Datagram& d, Served& s) {
    Impl& im = *impl_;
    // The network's second copy of the request reaches the device a little later.
    ++im.counters.faults.dup_requests;
    s.ex.faults += " dup-request";
    im.schedule(Impl::Delayed{
        s.start_time() + std::chrono::microseconds(im.faults.faults().dup_gap_us), d.fd, d.from,
        std::vector<std::uint8_t>(d.bytes, d.bytes + d.size), false, Impl::Delayed::Kind::Copy});
}

void Server::answer_handshake_locked() {
    Impl& im = *impl_;
    ++im.counters.handshakes;
    const std::string& text = im.handshake_reply;
    im.reply.assign(text.begin(), text.end());
    if (im.reply.size() < kHandshakeReplySize) im.reply.push_back(0);
    if (im.reply.size() > kHandshakeReplySize) im.reply.resize(kHandshakeReplySize);
}

void Server::end_service_locked(Served& s) {
    Impl& im = *impl_;
    if (im.retire_after_reply) {
        im.retire_after_reply = false;
        im.retire_old_socket();
    }
    if (options_.log_exchanges) im.log.push_back(s.ex);
    if (options_.on_exchange) options_.on_exchange(s.ex);
    if (!s.timed) return;
    const auto finished = Clock::now();
    if (s.send_started == Clock::time_point{}) s.send_started = finished;
    ++im.counters.timed;
    im.counters.service_ns += nanoseconds(s.send_started - s.started);
    im.counters.send_ns += nanoseconds(finished - s.send_started);
}

}  // namespace kestrel::sim

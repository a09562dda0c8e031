#include "flash/core/page_prefetch.h"

#include <algorithm>

#include "flash/core/spi_flash.h"
#include "link/link_stats.h"
#include "link/transport.h"
#include "protocol/host_regs.h"

namespace kestrel {
namespace {

// The part of run that concerns the requests [begin, begin + count) of it.
WindowRun section_of(const WindowRun& run, std::size_t begin, std::size_t count) {
    WindowRun part = run;
    part.broken = run.answered < begin + count;
    part.answered = std::min(run.answered - begin, count);
    if (!part.broken) {
        part.lost = 0;
        part.lost_at_tail = false;
        part.first_lost = 0;
        part.in_step = true;
    } else if (run.lost > 0) {
        part.first_lost = run.first_lost - begin;
    }
    return part;
}

// The results of requests [begin, end) of run, as a pass sent alone.
PrefetchedPass part_of(const WindowRun& run, const std::vector<ExchangeResult>& results,
                       std::size_t begin, std::size_t end) {
    PrefetchedPass part;
    part.results.assign(results.begin() + static_cast<std::ptrdiff_t>(begin),
                        results.begin() + static_cast<std::ptrdiff_t>(end));
    part.run = section_of(run, begin, end - begin);
    return part;
}

}  // namespace

ReadKeys chunk_key(std::uint32_t page, std::size_t chunk) {
    return {page + static_cast<std::uint32_t>(chunk * 8) + 1, 0};
}

RegisterWord control(const std::array<std::uint8_t, 2>& ctrl) {
    return RegisterWord{ctrl[0], ctrl[1]};
}

RegisterWord receive_phase(std::size_t chunk, std::size_t from, std::size_t to) {
    if (chunk == from) return control(chunk == to ? kCtrlReadOnly : kCtrlReadFirst);
    return control(chunk == to ? kCtrlReadLast : kCtrlReadNext);
}

std::vector<WindowRequest> pass_requests(std::uint32_t address, std::size_t from, std::size_t to) {
    std::vector<WindowRequest> requests;
    requests.reserve(2 * (to - from + 1) + 2);
    const FlashAddress at = flash_address(address + static_cast<std::uint32_t>(from * 8));
    requests.push_back(
        {ExchangeKind::Write, SPI_CMD, RegisterWord{kCmdReadData, at[0], at[1], at[2]}});
    for (std::size_t c = from; c <= to; ++c) {
        requests.push_back({ExchangeKind::Write, SPI_CTRL, receive_phase(c, from, to)});
        requests.push_back({ExchangeKind::Read, SPI_CTRL, {}, chunk_key(address, c)});
    }
    requests.push_back({ExchangeKind::Read, HOST_CTRL, {}});
    return requests;
}

ReadAhead PagePrefetch::ahead(std::span<const int> pages) {
    const std::size_t n = std::min(kPrefetchPages, pages.size());
    for (std::size_t j = 0; j < n; ++j)
        upcoming_[j] = static_cast<std::uint32_t>(pages[j]) * kPageSize;
    return ReadAhead{this, std::span<const std::uint32_t>(upcoming_).first(n)};
}

ReadAhead PagePrefetch::ahead(int first, int end) {
    const auto n = static_cast<std::size_t>(
        std::clamp<long>(long{end} - first, 0, static_cast<long>(kPrefetchPages)));
    for (std::size_t j = 0; j < n; ++j)
        upcoming_[j] = static_cast<std::uint32_t>(first + static_cast<int>(j)) * kPageSize;
    return ReadAhead{this, std::span<const std::uint32_t>(upcoming_).first(n)};
}

std::optional<PrefetchedPass> PagePrefetch::take(std::uint32_t address,
                                                 std::span<const std::uint32_t> upcoming) {
    if (!link_window_in_use() || upcoming.empty() || upcoming.front() != address) {
        held_.clear();
        return std::nullopt;
    }
    const bool fresh = link_stats().exchanges == exchanges_after_;
    if (held_.empty() || held_.front().address != address || !fresh) {
        held_.clear();
        const std::size_t n = link_may_make_copies() ? 1 : kPrefetchPages;
        fetch(upcoming.first(std::min(n, upcoming.size())));
    }
    taken_.reset();
    if (held_.empty() || held_.front().address != address) return std::nullopt;
    taken_ = std::move(held_.front());
    held_.pop_front();
    return std::move(taken_->pass);
}

std::optional<PrefetchedPass> PagePrefetch::take_second(std::uint32_t address) {
    std::optional<Held> taken = std::move(taken_);
    taken_.reset();
    const bool fresh = link_stats().exchanges == exchanges_after_;
    if (!taken || taken->address != address || !taken->second || !fresh) return std::nullopt;
    return std::move(taken->second);
}

void PagePrefetch::fetch(std::span<const std::uint32_t> pages) {
    // While the link may make copies each page is read twice: its second read (of the last
    // two chunks, which suffices for a page whose last two chunks differ) goes right after it.
    const bool twice = seconds_fit_ && link_may_make_copies();
    std::vector<WindowRequest> requests;
    std::vector<std::size_t> begins;
    std::vector<std::size_t> seconds;
    for (const std::uint32_t page : pages) {
        begins.push_back(requests.size());
        const std::vector<WindowRequest> one = pass_requests(page, 0, kPageReadChunks - 1);
        requests.insert(requests.end(), one.begin(), one.end());
        seconds.push_back(requests.size());
        if (!twice) continue;
        const std::vector<WindowRequest> two =
            pass_requests(page, kSecondReadFrom, kPageReadChunks - 1);
        requests.insert(requests.end(), two.begin(), two.end());
    }
    std::vector<ExchangeResult> results(requests.size());
    const WindowRun run = exchange_window(requests, results);
    exchanges_after_ = link_stats().exchanges;
    for (std::size_t i = 0; i < pages.size(); ++i) {
        const std::size_t begin = begins[i];
        if (run.answered < begin) break;  // the run broke in a page before this one
        const std::size_t end = i + 1 < pages.size() ? begins[i + 1] : requests.size();
        Held h;
        h.address = pages[i];
        h.pass = part_of(run, results, begin, seconds[i]);
        const bool broken = h.pass.run.broken;
        if (!broken && seconds[i] < end && run.answered >= end)
            h.second = part_of(run, results, seconds[i], end);
        held_.push_back(std::move(h));
        if (broken || run.answered < end) break;
    }
}

}  // namespace kestrel

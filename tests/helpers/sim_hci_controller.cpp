// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim_hci_controller.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using sim_kernel::append;

bool filter_passes(const OVK_HCI_FILTER_T& f, const std::vector<uint8_t>& pkt) {
    if (pkt.size() < 2) return false;
    const unsigned type = pkt[0];
    if (!(f.type_mask & (1u << (type & 31)))) return false;
    if (type != 0x04) return true;
    const unsigned ev = pkt[1];
    return (f.event_mask[(ev >> 5) & 1] >> (ev & 31)) & 1u;
}

}  // namespace

// --- set-up ---
void SimHciController::set_adapters(std::vector<Adapter> list) {
    std::lock_guard<std::mutex> lk(mu_);
    adapters_ = std::move(list);
}
void SimHciController::set_kernel_support(bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    kernel_ = on;
}
void SimHciController::set_open_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    open_err_ = err;
}
void SimHciController::set_list_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    list_err_ = err;
}
void SimHciController::set_bind_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    bind_err_ = err;
}
void SimHciController::set_filter_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    filter_err_ = err;
}
void SimHciController::set_write_error(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    write_err_ = err;
}
void SimHciController::set_features(bool extended, bool coded) {
    std::lock_guard<std::mutex> lk(mu_);
    extended_ = extended;
    coded_ = coded;
}
void SimHciController::set_other_app_scanning(bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    other_app_ = on;
}
void SimHciController::refuse(uint16_t ocf, uint8_t status) {
    std::lock_guard<std::mutex> lk(mu_);
    if (status == 0)
        refuse_.erase(ocf);
    else
        refuse_[ocf] = status;
}
void SimHciController::answer_with_command_status(uint16_t ocf) {
    std::lock_guard<std::mutex> lk(mu_);
    with_status_.insert(ocf);
}
void SimHciController::set_silent(uint16_t ocf, bool silent) {
    std::lock_guard<std::mutex> lk(mu_);
    if (silent)
        silent_.insert(ocf);
    else
        silent_.erase(ocf);
}
void SimHciController::set_initial_filter(const OVK_HCI_FILTER_T& f) {
    std::lock_guard<std::mutex> lk(mu_);
    initial_filter_ = f;
}
void SimHciController::fail_next_read(int err) {
    std::lock_guard<std::mutex> lk(mu_);
    next_read_err_ = err;
    cv_.notify_all();
}
void SimHciController::set_answer_delay(int ms) {
    std::lock_guard<std::mutex> lk(mu_);
    answer_delay_ms_ = ms;
}
void SimHciController::set_answer_delay(uint16_t ocf, int ms) {
    std::lock_guard<std::mutex> lk(mu_);
    ocf_delay_ms_[ocf] = ms;
}

// --- air and hardware ---
void SimHciController::push_event(const bytes& pkt) {
    std::lock_guard<std::mutex> lk(mu_);
    deliver_locked(pkt);
}

void SimHciController::remove_adapter() {
    std::lock_guard<std::mutex> lk(mu_);
    present_ = false;
    legacy_on_ = ext_on_ = false;
    pending_.clear();
    for (auto& [h, s] : socks_)
        if (s.dev >= 0) {
            s.dead = true;
            s.err = EPIPE;
        }
    cv_.notify_all();
}

void SimHciController::restore_adapter() {
    std::lock_guard<std::mutex> lk(mu_);
    present_ = true;
}

void SimHciController::scan_stopped_by_other_app() {
    std::lock_guard<std::mutex> lk(mu_);
    legacy_on_ = ext_on_ = false;
}

// --- inspection ---
std::vector<SimHciController::bytes> SimHciController::commands() const {
    std::lock_guard<std::mutex> lk(mu_);
    return cmds_;
}
int SimHciController::answers_pending() const {
    std::lock_guard<std::mutex> lk(mu_);
    return static_cast<int>(pending_.size());
}
std::vector<uint16_t> SimHciController::command_ocfs() const {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<uint16_t> out;
    for (const auto& c : cmds_) out.push_back(static_cast<uint16_t>((c[1] | (c[2] << 8)) & 0x3FF));
    return out;
}
int SimHciController::count_ocf(uint16_t ocf) const {
    const auto v = command_ocfs();
    return static_cast<int>(std::count(v.begin(), v.end(), ocf));
}
bool SimHciController::scan_enabled() const {
    std::lock_guard<std::mutex> lk(mu_);
    return legacy_on_ || ext_on_;
}
bool SimHciController::active_requested() const {
    std::lock_guard<std::mutex> lk(mu_);
    return active_;
}
int SimHciController::opens() const {
    std::lock_guard<std::mutex> lk(mu_);
    return opens_;
}
std::vector<std::vector<OVK_HCI_FILTER_T>> SimHciController::closed_filter_history() const {
    std::lock_guard<std::mutex> lk(mu_);
    return closed_history_;
}
void SimHciController::clear_commands() {
    std::lock_guard<std::mutex> lk(mu_);
    cmds_.clear();
}

// --- packet builders ---
SimHciController::bytes SimHciController::legacy_body(uint8_t evt_type, uint8_t addr_type,
                                                      const addr6& addr, const bytes& data,
                                                      int8_t rssi) {
    bytes b{evt_type, addr_type};
    append(b, addr);
    b.push_back(static_cast<uint8_t>(data.size()));
    append(b, data);
    b.push_back(static_cast<uint8_t>(rssi));
    return b;
}

SimHciController::bytes SimHciController::legacy_reports(const std::vector<bytes>& bodies) {
    bytes p{0x02, static_cast<uint8_t>(bodies.size())};
    for (const auto& b : bodies) append(p, b);
    bytes pkt{0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(pkt, p);
    return pkt;
}

SimHciController::bytes SimHciController::legacy_report(uint8_t evt_type, uint8_t addr_type,
                                                        const addr6& addr, const bytes& data,
                                                        int8_t rssi) {
    return legacy_reports({legacy_body(evt_type, addr_type, addr, data, rssi)});
}

SimHciController::bytes SimHciController::ext_body(uint16_t evt_type, uint8_t addr_type,
                                                   const addr6& addr, uint8_t primary_phy,
                                                   uint8_t secondary_phy, uint8_t sid, int8_t rssi,
                                                   const bytes& data) {
    bytes b{static_cast<uint8_t>(evt_type & 0xFF), static_cast<uint8_t>(evt_type >> 8), addr_type};
    append(b, addr);
    b.push_back(primary_phy);
    b.push_back(secondary_phy);
    b.push_back(sid);
    b.push_back(0x7F);  // TX power not available
    b.push_back(static_cast<uint8_t>(rssi));
    b.push_back(0);  // periodic interval
    b.push_back(0);
    b.push_back(0);  // direct address type
    for (int i = 0; i < 6; ++i) b.push_back(0);
    b.push_back(static_cast<uint8_t>(data.size()));
    append(b, data);
    return b;
}

SimHciController::bytes SimHciController::ext_reports(const std::vector<bytes>& bodies) {
    bytes p{0x0D, static_cast<uint8_t>(bodies.size())};
    for (const auto& b : bodies) append(p, b);
    bytes pkt{0x04, 0x3E, static_cast<uint8_t>(p.size())};
    append(pkt, p);
    return pkt;
}

SimHciController::bytes SimHciController::command_complete(uint16_t opcode, const bytes& ret) {
    bytes pkt{0x04,
              0x0E,
              static_cast<uint8_t>(3 + ret.size()),
              0x01,
              static_cast<uint8_t>(opcode & 0xFF),
              static_cast<uint8_t>(opcode >> 8)};
    append(pkt, ret);
    return pkt;
}

SimHciController::bytes SimHciController::command_status(uint16_t opcode, uint8_t status) {
    return {0x04,
            0x0F,
            0x04,
            status,
            0x01,
            static_cast<uint8_t>(opcode & 0xFF),
            static_cast<uint8_t>(opcode >> 8)};
}

// --- controller ---
void SimHciController::deliver_locked(const bytes& pkt) {
    for (auto& [h, s] : socks_)
        if (s.dev >= 0 && !s.dead && filter_passes(s.filter, pkt)) s.rx.push_back(pkt);
    cv_.notify_all();
}

int64_t SimHciController::mono_locked() const {
    return sim_kernel::steady_ms() + offset_ms_;
}

void SimHciController::queue_answer_locked(uint16_t ocf, const bytes& pkt) {
    const auto it = ocf_delay_ms_.find(ocf);
    const int delay = it != ocf_delay_ms_.end() ? it->second : answer_delay_ms_;
    // The controller answers in order: nothing overtakes an answer that is still due.
    int64_t due = mono_locked() + delay;
    if (!pending_.empty()) due = std::max(due, pending_.back().due);
    pending_.push_back({due, pkt});
    cv_.notify_all();
}

void SimHciController::send_due_answers_locked() {
    const int64_t now = mono_locked();
    while (!pending_.empty() && pending_.front().due <= now) {
        deliver_locked(pending_.front().pkt);
        pending_.pop_front();
    }
}

void SimHciController::answer_locked(uint16_t opcode, uint8_t status, const bytes& extra) {
    const uint16_t ocf = opcode & 0x3FF;
    if (with_status_.count(ocf)) {
        queue_answer_locked(ocf, command_status(opcode, status));
        if (status != 0) return;
    }
    bytes ret{status};
    append(ret, extra);
    queue_answer_locked(ocf, command_complete(opcode, ret));
}

void SimHciController::run_command_locked(uint16_t opcode, ovk_bytes p) {
    const uint16_t ocf = opcode & 0x3FF;
    if ((opcode >> 10) != 0x08) {
        answer_locked(opcode, 0x01, {});
        return;
    }
    if (silent_.count(ocf)) return;
    if (auto it = refuse_.find(ocf); it != refuse_.end()) {
        answer_locked(opcode, it->second, {});
        return;
    }
    const bool scanning = legacy_on_ || ext_on_;
    switch (ocf) {
        case OVK_HCI_OCF_READ_FEATURES: {
            bytes mask(8, 0);
            mask[0] = 0x01;  // LE encryption
            if (coded_) mask[1] |= 0x08;
            if (extended_) mask[1] |= 0x10;
            answer_locked(opcode, p.empty() ? 0x00 : 0x12, mask);
            return;
        }
        case OVK_HCI_OCF_SCAN_PARAMS:
            if (p.size() != 7) return answer_locked(opcode, 0x12, {});
            if (p[0] != 0) active_ = true;
            return answer_locked(opcode, (other_app_ || scanning) ? 0x0C : 0x00, {});
        case OVK_HCI_OCF_SCAN_ENABLE:
            if (p.size() != 2) return answer_locked(opcode, 0x12, {});
            if (other_app_) return answer_locked(opcode, 0x0C, {});
            legacy_on_ = p[0] == 1;
            return answer_locked(opcode, 0x00, {});
        case OVK_HCI_OCF_EXT_SCAN_PARAMS: {
            if (!extended_) return answer_locked(opcode, 0x01, {});
            if (p.size() < 3) return answer_locked(opcode, 0x12, {});
            const int phys = (p[2] & 0x01) + ((p[2] >> 2) & 0x01);
            if ((p[2] & ~0x05) != 0 || phys == 0 || p.size() != 3u + 5u * phys ||
                ((p[2] & 0x04) && !coded_))
                return answer_locked(opcode, 0x12, {});
            for (int i = 0; i < phys; ++i)
                if (p[3 + 5 * i] != 0) active_ = true;
            return answer_locked(opcode, (other_app_ || scanning) ? 0x0C : 0x00, {});
        }
        case OVK_HCI_OCF_EXT_SCAN_ENABLE:
            if (!extended_) return answer_locked(opcode, 0x01, {});
            if (p.size() != 6) return answer_locked(opcode, 0x12, {});
            if (other_app_) return answer_locked(opcode, 0x0C, {});
            ext_on_ = p[0] == 1;
            return answer_locked(opcode, 0x00, {});
        default:
            answer_locked(opcode, 0x01, {});
    }
}

bool SimHciController::has_adapter_locked(int dev) const {
    if (!present_) return false;
    return std::any_of(adapters_.begin(), adapters_.end(),
                       [&](const Adapter& a) { return a.id == dev; });
}

// --- OVK_HCI_IO ---
int SimHciController::open() {
    std::lock_guard<std::mutex> lk(mu_);
    ++opens_;
    if (!kernel_) return -EAFNOSUPPORT;
    if (open_err_) return -open_err_;
    const int h = add_sock_locked();
    socks_[h].filter = initial_filter_;
    return h;
}

void SimHciController::close(int h) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return;
    if (it->second.dev >= 0) closed_history_.push_back(it->second.history);
    socks_.erase(it);
}

int SimHciController::dev_list(int h, OVK_HCI_DEV_LIST& out) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!socks_.count(h)) return -EBADF;
    if (list_err_) return -list_err_;
    out = {};
    if (!present_) return 0;
    for (const auto& a : adapters_) {
        if (out.dev_num >= OVK_HCI_MAX_DEV) break;
        out.dev_req[out.dev_num++] = {static_cast<uint16_t>(a.id), a.up ? OVK_HCI_DEV_UP : 0u};
    }
    return 0;
}

int SimHciController::dev_info(int h, int dev, OVK_HCI_DEV_INFO& out) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!socks_.count(h)) return -EBADF;
    if (!has_adapter_locked(dev)) return -ENODEV;
    out = {};
    out.dev_id = static_cast<uint16_t>(dev);
    for (const auto& a : adapters_)
        if (a.id == dev) out.flags = a.up ? OVK_HCI_DEV_UP : 0;
    return 0;
}

int SimHciController::bind(int h, int dev) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (bind_err_) return -bind_err_;
    if (!has_adapter_locked(dev)) return -ENODEV;
    it->second.dev = dev;
    return 0;
}

int SimHciController::get_filter(int h, OVK_HCI_FILTER_T& out) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    out = it->second.filter;
    return 0;
}

int SimHciController::set_filter(int h, const OVK_HCI_FILTER_T& f) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (filter_err_) return -filter_err_;
    it->second.filter = f;
    it->second.history.push_back(f);
    return 0;
}

long SimHciController::write(int h, ovk_bytes pkt) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (it->second.dead) return -EBADFD;  // the socket has no adapter any more
    if (write_err_) return -write_err_;
    if (pkt.size() < 4 || pkt[0] != 0x01 || pkt[3] != pkt.size() - 4) return -EINVAL;
    cmds_.emplace_back(pkt.begin(), pkt.end());
    run_command_locked(static_cast<uint16_t>(pkt[1] | (pkt[2] << 8)), pkt.subspan(4));
    return static_cast<long>(pkt.size());
}

long SimHciController::read(int h, std::span<uint8_t> buf) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = socks_.find(h);
    if (it == socks_.end()) return -EBADF;
    if (next_read_err_) {
        const int e = next_read_err_;
        next_read_err_ = 0;
        return -e;
    }
    Sock& s = it->second;
    if (s.err) {  // a socket error is reported once, before any queued data
        const int e = s.err;
        s.err = 0;
        return -e;
    }
    send_due_answers_locked();
    if (s.rx.empty()) return -EAGAIN;
    const bytes pkt = std::move(s.rx.front());
    s.rx.pop_front();
    const size_t n = std::min(buf.size(), pkt.size());
    std::copy_n(pkt.begin(), n, buf.begin());
    return static_cast<long>(n);
}

int SimHciController::poll(int h, int timeout_ms, short& revents) {
    using clock = std::chrono::steady_clock;
    std::unique_lock<std::mutex> lk(mu_);
    auto ready = [&] {
        auto it = socks_.find(h);
        return it == socks_.end() || !it->second.rx.empty() || it->second.err != 0 ||
               next_read_err_ != 0;
    };
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        send_due_answers_locked();
        if (ready()) break;
        auto wake = deadline;
        if (!pending_.empty()) {
            const int64_t in = std::max<int64_t>(pending_.front().due - mono_locked(), 0);
            wake = std::min(wake, clock::now() + std::chrono::milliseconds(in));
        }
        if (clock::now() >= deadline) break;
        cv_.wait_until(lk, wake);
    }
    auto it = socks_.find(h);
    revents = 0;
    if (it == socks_.end()) {
        revents = POLLNVAL;
        return 1;
    }
    if (!it->second.rx.empty() || next_read_err_) revents |= POLLIN;
    if (it->second.err) revents |= POLLERR;
    return revents ? 1 : 0;
}

int64_t SimHciController::mono_ms() {
    return clock_mono_ms();
}

int64_t SimHciController::now_ms() {
    return clock_wall_ms();
}

void SimHciController::sleep_ms(int ms) {
    clock_sleep_ms(ms);
}

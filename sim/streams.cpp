// Running streams: data records on the schedule --rate sets, their
// temperatures, and the faults tied to a stream's records or age (drop,
// away, freeze). Main thread only.
#include "camera.h"
#include "output.h"
#include "signals.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string seconds_text(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

Clock::time_point after_start(const Stream &s, double seconds) {
    return s.started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

float Camera::temperature(uint64_t index) const {
    double n = static_cast<double>(index);
    switch (opt_.shape) {
    case Shape::kConstant: return static_cast<float>(opt_.temp);
    case Shape::kRamp: return static_cast<float>(opt_.ramp_start + n * opt_.ramp_step);
    case Shape::kSine: {
        double t = opt_.rate > 0 ? n / opt_.rate : 0;
        return static_cast<float>(opt_.sine_mid + opt_.sine_amplitude * std::sin(2 * kPi * t / opt_.sine_period));
    }
    case Shape::kList: return static_cast<float>(opt_.temps[index % opt_.temps.size()]);
    }
    return 0;
}

Clock::time_point Camera::next_record_time(const Stream &s) const {
    // Scheduled from the stream's start, so the rate does not drift.
    auto offset = std::chrono::duration<double>(static_cast<double>(s.sent) / opt_.rate);
    return s.started + std::chrono::duration_cast<Clock::duration>(offset);
}

void Camera::drop(Connection &c, const std::string &why) {
    ++drops_done_;
    say("dropping connection after %s", why.c_str());
    c.dropping = true;
    c.streams.clear();
    c.drop_deadline = Clock::now() + std::chrono::seconds(1);
    flush(c);
    if (!c.dead && c.out.empty()) close_connection(c);
    if (opt_.away_seconds > 0) {
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
            listen_fd_ = -1;
        }
        say("away for %g s", opt_.away_seconds);
        away_ = true;
        away_until_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(opt_.away_seconds));
    }
}

// Like a process stopped by a signal: from now on nothing is read, answered,
// sent or accepted until the freeze is over, and every connection stays.
void Camera::freeze(const std::string &why) {
    ++freezes_done_;
    say("freezing after %s for %g s", why.c_str(), opt_.freeze_seconds);
    frozen_ = true;
    frozen_since_ = Clock::now();
    frozen_until_ = frozen_since_ + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(opt_.freeze_seconds));
}

// While frozen, waits (for a signal at most) until the freeze is over; then
// moves every schedule on by the frozen time, so that nothing missed is sent
// in a burst, and says so. False while still frozen.
bool Camera::stay_frozen() {
    if (!frozen_) return false;
    Clock::time_point now = Clock::now();
    if (now < frozen_until_) {
        pollfd p{signal_wake_fd(), POLLIN, 0};
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(frozen_until_ - now).count() + 1;
        ::poll(&p, 1, static_cast<int>(std::min<long long>(ms, 60000)));
        return true;
    }
    Clock::duration frozen_for = now - frozen_since_;
    for (Connection &c : connections_) {
        for (Stream &s : c.streams) s.started += frozen_for;
        c.drop_deadline += frozen_for;
    }
    if (away_) away_until_ += frozen_for;
    frozen_ = false;
    say("answering again after %g s", std::chrono::duration<double>(frozen_for).count());
    return false;
}

void Camera::run_streams(Connection &c, Clock::time_point now) {
    for (size_t i = 0; !frozen_ && !c.dead && !c.dropping && i < c.streams.size(); ++i) {
        Stream &s = c.streams[i];
        bool drops_left = drops_done_ < opt_.drops;
        if (drops_left && opt_.drop_after_seconds > 0 && now >= after_start(s, opt_.drop_after_seconds))
            return drop(c, seconds_text(opt_.drop_after_seconds));
        bool freezes_left = freezes_done_ < opt_.freezes && !s.froze;
        if (freezes_left && opt_.freeze_after_seconds > 0 && now >= after_start(s, opt_.freeze_after_seconds)) {
            s.froze = true;
            return freeze(seconds_text(opt_.freeze_after_seconds));
        }
        if (opt_.rate <= 0) continue;
        while (!c.dead && c.out.size() - c.out_start < kOutputLimit && next_record_time(s) <= now) {
            uint8_t record[camwire::kRecordSize] = {};
            record[camwire::kRecordFlagOffset] = opt_.flag;
            float t = temperature(s.sent);
            camwire::put_le_float(record + camwire::kRecordTempOffset, t);
            ++s.sent;
            say("record %llu: flag %u temperature %f", static_cast<unsigned long long>(s.sent),
                static_cast<unsigned>(opt_.flag), static_cast<double>(t));
            send(c, camwire::data(s.id, record));
            if (drops_done_ < opt_.drops && opt_.drop_after_records > 0 && s.sent >= opt_.drop_after_records)
                return drop(c, std::to_string(s.sent) + " records");
            if (freezes_left && opt_.freeze_after_records > 0 && s.sent >= opt_.freeze_after_records) {
                s.froze = true;
                return freeze(std::to_string(s.sent) + " records");
            }
        }
        // Far behind a slow reader: carry on from now rather than burst.
        if (next_record_time(s) + std::chrono::seconds(1) < now) {
            s.started = now - std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(static_cast<double>(s.sent) / opt_.rate));
        }
    }
}

int Camera::poll_timeout(Clock::time_point now) const {
    Clock::time_point wake = Clock::time_point::max();
    for (const Connection &c : connections_) {
        if (c.dead) continue;
        if (c.dropping) {
            wake = std::min(wake, c.drop_deadline);
            continue;
        }
        for (const Stream &s : c.streams) {
            if (drops_done_ < opt_.drops && opt_.drop_after_seconds > 0)
                wake = std::min(wake, after_start(s, opt_.drop_after_seconds));
            if (freezes_done_ < opt_.freezes && !s.froze && opt_.freeze_after_seconds > 0)
                wake = std::min(wake, after_start(s, opt_.freeze_after_seconds));
            if (opt_.rate > 0 && c.out.size() - c.out_start < kOutputLimit)
                wake = std::min(wake, next_record_time(s));
        }
    }
    if (away_) wake = std::min(wake, away_until_);
    if (!away_ && listen_fd_ < 0) wake = std::min(wake, next_listen_try_);
    if (wake == Clock::time_point::max()) return -1;
    if (wake <= now) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
    return static_cast<int>(std::min<long long>((ms + 999) / 1000, 60000));
}

}  // namespace sim
